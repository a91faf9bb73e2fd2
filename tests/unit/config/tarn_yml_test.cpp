#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>

#include "config/config.h"

namespace tarn {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;

TarnYml parsed(std::string_view text) {
  auto yml = parse_tarn_yml(text);
  EXPECT_TRUE(yml.has_value()) << text << "\n-> " << (yml ? "" : yml.error());
  return yml.value_or(TarnYml{});
}

std::string max_days_text(std::string_view value) {
  return "dbt-plan:\n  max-window-expansion-days: " + std::string(value) + "\n";
}

struct TextCase {
  const char* name;
  std::string text;
  std::optional<std::string> against;
};

class TextKey : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextKey, TakesTheScalarsText) {
  EXPECT_EQ(parsed(GetParam().text).against, GetParam().against);
}

INSTANTIATE_TEST_SUITE_P(
    ParseTarnYml, TextKey,
    ::testing::Values(
        TextCase{"Integer", "against: 5", "5"}, TextCase{"Float", "against: 1.50", "1.50"},
        TextCase{"Boolean", "against: true", "true"},
        TextCase{"QuotedNull", "against: \"null\"", "null"},
        TextCase{"QuotedTilde", "against: '~'", "~"}, TextCase{"EmptyQuoted", "against: ''", ""},
        TextCase{"MixedCaseNull", "against: nULL", "nULL"},
        TextCase{"FoldedBlock", "against: >-\n  a\n  b\n", "a b"},
        TextCase{"NoValue", "against:", std::nullopt},
        TextCase{"Tilde", "against: ~", std::nullopt},
        TextCase{"Null", "against: Null", std::nullopt},
        TextCase{"UpperNull", "against: NULL", std::nullopt},
        TextCase{"Alias", "defaults: &ref main\nagainst: *ref\n", "main"},
        TextCase{"LaterAnchorWins", "a: &x one\nb: &x two\nagainst: *x\n", "two"},
        TextCase{"Tagged", "--- !!map\nagainst: !!str main\n", "main"},
        TextCase{"NestedKeyIsAnotherMapping", "against: a\nother:\n  against: b\n", "a"},
        TextCase{"UnknownKeysSkipped",
                 "dbt_command: x\nAgainst: x\nproject:\n  nested: {deep: [1, {x: "
                 "[y]}]}\n? [complex, key]\n: value\n42: n\n~: n\nagainst: main\n",
                 "main"},
        TextCase{"DeepButWithinTheLimit",
                 "x: " + std::string(127, '[') + std::string(127, ']') + "\nagainst: y\n", "y"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseTarnYml, ReadsEveryKeyOfAFullFile) {
  const TarnYml yml = parsed(
      "against: main\n"
      "dbt-command: /opt/venv/bin/dbt\n"
      "dbt-args: --target ci\n"
      "dbt-plan:\n"
      "  max-window-expansion-days: 120\n"
      "  max_window_expansion_days: 5\n"
      "  extra: [1, 2]\n");
  EXPECT_EQ(yml.against, "main");
  EXPECT_EQ(yml.dbt_command, "/opt/venv/bin/dbt");
  EXPECT_EQ(yml.dbt_args, "--target ci");
  ASSERT_TRUE(yml.dbt_plan.has_value());
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, 120);
  EXPECT_THAT(yml.dbt_plan->unknown_keys, ElementsAre("max_window_expansion_days", "extra"));
}

TEST(ParseTarnYml, EmptyInputsAndSectionsSetNothing) {
  for (const std::string_view text :
       {"", "\n\n", "# only a comment\n", "---\n", "---\n...\n", "~\n", "null", "--- # c\n",
        "dbt-plan:", "dbt-plan: ~", "dbt-plan: {}", "dbt-plan:\n  # nothing\n",
        "dbt-plan:\n  max-window-expansion-days: ~\n"}) {
    const TarnYml yml = parsed(text);
    EXPECT_FALSE(yml.against || yml.dbt_command || yml.dbt_args ||
                 (yml.dbt_plan && yml.dbt_plan->max_window_expansion_days))
        << text;
  }
}

struct DaysCase {
  const char* name;
  const char* value;
  std::int64_t days;
};

class MaxWindowExpansionDays : public ::testing::TestWithParam<DaysCase> {};

TEST_P(MaxWindowExpansionDays, IsReadInItsBase) {
  const TarnYml yml = parsed(max_days_text(GetParam().value));
  ASSERT_TRUE(yml.dbt_plan.has_value());
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, GetParam().days);
}

constexpr auto k_min = std::numeric_limits<std::int64_t>::min();
constexpr auto k_max = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    ParseTarnYml, MaxWindowExpansionDays,
    ::testing::Values(DaysCase{"Decimal", "16", 16}, DaysCase{"Hex", "0x10", 16},
                      DaysCase{"Octal", "0o20", 16}, DaysCase{"Binary", "0b10000", 16},
                      DaysCase{"Plus", "+16", 16}, DaysCase{"Minus", "-16", -16},
                      DaysCase{"MinusHex", "-0x10", -16}, DaysCase{"MixedCaseHex", "0xfF", 255},
                      DaysCase{"LeadingZeros", "007", 7}, DaysCase{"Zero", "0", 0},
                      DaysCase{"Max", "9223372036854775807", k_max},
                      DaysCase{"Min", "-9223372036854775808", k_min},
                      DaysCase{"MinHex", "-0x8000000000000000", k_min},
                      DaysCase{"MaxHex", "0x7fffffffffffffff", k_max},
                      DaysCase{"TaggedInt", "!!int 7", 7}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::string text;
  std::string message;
};

class Refused : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Refused, WithItsPositionedMessage) {
  auto yml = parse_tarn_yml(GetParam().text);
  ASSERT_FALSE(yml.has_value()) << GetParam().text;
  EXPECT_EQ(yml.error(), GetParam().message);
}

std::string days_error(const std::string& what) {
  return what + ", expected i64 at line 2 column 30";
}

/// Ten times ten aliases per level: 10^20 scalars if anything expands them.
std::string alias_bomb() {
  std::string text = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level < 20; ++level) {
    const std::string previous = "*a" + std::to_string(level - 1);
    text += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) {
      text += (i == 0 ? "" : ", ") + previous;
    }
    text += "]\n";
  }
  return text;
}

std::string nested_block(int levels) {
  std::string block;
  for (int level = 0; level < levels; ++level) {
    block += std::string(level * 2, ' ') + "k:\n";
  }
  return block;
}

const std::string k_nesting = "recursion limit exceeded: more than 128 nested levels";

INSTANTIATE_TEST_SUITE_P(
    ParseTarnYml, Refused,
    ::testing::Values(
        FailureCase{"SequenceForText", "against: [main]",
                    "invalid type: sequence, expected a string at line 1 column 10"},
        FailureCase{"MapForText", "x: 1\ndbt-command:\n  path: dbt\n",
                    "invalid type: map, expected a string at line 3 column 3"},
        FailureCase{"BlockSequenceForText", "dbt-args:\n  - --target\n  - ci\n",
                    "invalid type: sequence, expected a string at line 2 column 3"},
        FailureCase{"IntegerForSection", "dbt-plan: 30",
                    "invalid type: integer `30`, expected struct DbtPlanLayer at line 1 column 11"},
        FailureCase{"SequenceForSection", "dbt-plan: [30]",
                    "invalid type: sequence, expected struct DbtPlanLayer at line 1 column 11"},
        FailureCase{"StringForSection", "dbt-plan: \"\"",
                    "invalid type: string \"\", expected struct DbtPlanLayer at line 1 column 11"},
        FailureCase{"DaysAboveI64", max_days_text("9223372036854775808"),
                    days_error("invalid value: integer `9223372036854775808`")},
        FailureCase{"DaysBelowI64", max_days_text("-9223372036854775809"),
                    days_error("invalid value: integer `-9223372036854775809`")},
        FailureCase{"HexDaysAboveI64", max_days_text("0x8000000000000000"),
                    days_error("invalid value: integer `0x8000000000000000`")},
        FailureCase{"FloatDays", max_days_text("1.5"),
                    days_error("invalid type: floating point `1.5`")},
        FailureCase{"ExponentDays", max_days_text("1e3"),
                    days_error("invalid type: floating point `1e3`")},
        FailureCase{"InfinityDays", max_days_text(".inf"),
                    days_error("invalid type: floating point `.inf`")},
        FailureCase{"QuotedDays", max_days_text("\"16\""),
                    days_error("invalid type: string \"16\"")},
        FailureCase{"BareHexPrefix", max_days_text("0x"),
                    days_error("invalid type: string \"0x\"")},
        FailureCase{"UnderscoreDigits", max_days_text("1_000"),
                    days_error("invalid type: string \"1_000\"")},
        FailureCase{"BooleanDays", max_days_text("true"),
                    days_error("invalid type: boolean `true`")},
        FailureCase{"MapDays", max_days_text("{a: 1}"), days_error("invalid type: map")},
        FailureCase{"RepeatedKey", "against: a\nagainst: b\n",
                    "duplicate field `against` at line 2 column 1"},
        FailureCase{"RepeatedKeyInFlow", "{dbt-args: a, x: 1, dbt-args: a}",
                    "duplicate field `dbt-args` at line 1 column 21"},
        FailureCase{"RepeatedKeyInSection",
                    "dbt-plan:\n  max-window-expansion-days: 1\n  max-window-expansion-days: 1\n",
                    "duplicate field `max-window-expansion-days` at line 3 column 3"},
        FailureCase{"SequenceDocument", "- a\n- b\n",
                    "invalid type: sequence, expected struct TarnYml at line 1 column 1"},
        FailureCase{"StringDocument", "main",
                    "invalid type: string \"main\", expected struct TarnYml at line 1 column 1"},
        FailureCase{"IntegerDocument", "\n  42",
                    "invalid type: integer `42`, expected struct TarnYml at line 2 column 3"},
        FailureCase{"TwoDocuments", "against: a\n---\nagainst: b\n",
                    "deserializing from YAML containing more than one document is not supported "
                    "at line 2 column 1"},
        FailureCase{"UnclosedQuote", "against: \"open\n",
                    "found unexpected end of stream while scanning a quoted scalar at line 2 "
                    "column 1"},
        FailureCase{"UnclosedFlow", "against: [a, b\n",
                    "did not find expected ',' or ']' while parsing a flow sequence at line 2 "
                    "column 1"},
        FailureCase{"TabIndentation", "against: a\n\tdbt-args: b\n",
                    "found a tab character that violates indentation while scanning a plain "
                    "scalar at line 2 column 1"},
        FailureCase{"InvalidUtf8", "against: main\ndbt-args: \xFF\n",
                    "invalid leading UTF-8 octet at line 2 column 11"},
        FailureCase{"NulByte", "against: ma\0in\n"s,
                    "control characters are not allowed at line 1 column 12"},
        FailureCase{"ControlAfterMultibyte", "against: caf\xC3\xA9 \x01"s,
                    "control characters are not allowed at line 1 column 15"},
        FailureCase{"TypeErrorAtTheAlias", "x: &seq [1]\n\nagainst: *seq\n",
                    "invalid type: sequence, expected a string at line 3 column 10"},
        FailureCase{"UnknownAnchor", "against: *nowhere\n", "unknown anchor at line 1 column 10"},
        FailureCase{"SelfReferenceInSequence", "x: &loop [a, *loop]\n",
                    "unknown anchor at line 1 column 14"},
        FailureCase{"SelfReferenceInMap", "x: &loop {k: *loop}\n",
                    "unknown anchor at line 1 column 14"},
        FailureCase{"AliasBombForText", alias_bomb() + "against: *a19\n",
                    "invalid type: sequence, expected a string at line 21 column 10"},
        FailureCase{"AliasBombForDays",
                    alias_bomb() + "dbt-plan: {max-window-expansion-days: *a19}\n",
                    "invalid type: sequence, expected i64 at line 21 column 39"},
        FailureCase{"DeepFlow", std::string(100'000, '['), k_nesting + " at line 1 column 129"},
        FailureCase{"DeepBlock", nested_block(200), k_nesting + " at line 129 column 257"},
        FailureCase{"OneLevelTooDeep", "x: " + std::string(128, '[') + std::string(128, ']') + "\n",
                    k_nesting + " at line 1 column 131"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseTarnYml, AnAliasBombIsNeverExpanded) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(parsed(alias_bomb() + "against: main\n").against, "main");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tarn
