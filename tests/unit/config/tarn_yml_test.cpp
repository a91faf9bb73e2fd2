#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace tarn {
namespace {

using namespace std::string_literals;
using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TarnYml parsed(std::string_view text) {
  auto yml = parse_tarn_yml(text);
  EXPECT_TRUE(yml.has_value()) << text << "\n-> " << (yml ? "" : yml.error());
  return yml.value_or(TarnYml{});
}

std::string failure(std::string_view text) {
  auto yml = parse_tarn_yml(text);
  EXPECT_FALSE(yml.has_value()) << text;
  return yml ? std::string() : yml.error();
}

std::optional<std::int64_t> max_days(std::string_view value) {
  const TarnYml yml =
      parsed("dbt-plan:\n  max-window-expansion-days: " + std::string(value) + "\n");
  EXPECT_TRUE(yml.dbt_plan.has_value()) << value;
  return yml.dbt_plan ? yml.dbt_plan->max_window_expansion_days : std::nullopt;
}

std::string max_days_failure(std::string_view value) {
  return failure("dbt-plan:\n  max-window-expansion-days: " + std::string(value) + "\n");
}

TEST(ParseTarnYml, ReadsEveryKeyOfAFullFile) {
  const TarnYml yml = parsed(
      "against: main\n"
      "dbt-command: /opt/venv/bin/dbt\n"
      "dbt-args: --target ci\n"
      "dbt-plan:\n"
      "  max-window-expansion-days: 120\n");
  EXPECT_EQ(yml.against, "main");
  EXPECT_EQ(yml.dbt_command, "/opt/venv/bin/dbt");
  EXPECT_EQ(yml.dbt_args, "--target ci");
  ASSERT_TRUE(yml.dbt_plan.has_value());
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, 120);
}

TEST(ParseTarnYml, TextKeysTakeAnyScalarAsItsText) {
  EXPECT_EQ(parsed("against: 5").against, "5");
  EXPECT_EQ(parsed("against: 1.50").against, "1.50");
  EXPECT_EQ(parsed("dbt-args: true").dbt_args, "true");
  EXPECT_EQ(parsed("dbt-command: 'python -m dbt'").dbt_command, "python -m dbt");
  EXPECT_EQ(parsed("dbt-args: \"--vars '{a: 1}'\"").dbt_args, "--vars '{a: 1}'");
  EXPECT_EQ(parsed("dbt-args: >-\n  --target\n  ci\n").dbt_args, "--target ci");
  EXPECT_EQ(parsed("against: \"null\"").against, "null");
  EXPECT_EQ(parsed("against: '~'").against, "~");
  EXPECT_EQ(parsed("against: ''").against, "");
  EXPECT_EQ(parsed("against: nULL").against, "nULL");
}

TEST(ParseTarnYml, NullMeansNotSet) {
  for (const std::string_view value : {"", " ~", " null", " Null", " NULL"}) {
    const TarnYml yml =
        parsed("against:" + std::string(value) + "\ndbt-command:" + std::string(value) +
               "\ndbt-args:" + std::string(value));
    EXPECT_EQ(yml.against, std::nullopt) << value;
    EXPECT_EQ(yml.dbt_command, std::nullopt) << value;
    EXPECT_EQ(yml.dbt_args, std::nullopt) << value;
  }
  EXPECT_EQ(max_days("~"), std::nullopt);
  EXPECT_EQ(max_days(""), std::nullopt);
}

TEST(ParseTarnYml, CollectionsForTextKeysAreTypeErrors) {
  EXPECT_EQ(failure("against: [main]"),
            "invalid type: sequence, expected a string at line 1 column 10");
  EXPECT_EQ(failure("x: 1\ndbt-command:\n  path: dbt\n"),
            "invalid type: map, expected a string at line 3 column 3");
  EXPECT_EQ(failure("dbt-args:\n  - --target\n  - ci\n"),
            "invalid type: sequence, expected a string at line 2 column 3");
}

TEST(ParseTarnYml, DbtPlanNullOrEmptySetsNothing) {
  for (const std::string_view text : {"dbt-plan:", "dbt-plan: ~", "dbt-plan: {}",
                                      "dbt-plan:\n  other: 3", "dbt-plan:\n  # nothing\n"}) {
    const TarnYml yml = parsed(text);
    EXPECT_FALSE(yml.dbt_plan && yml.dbt_plan->max_window_expansion_days) << text;
  }
}

TEST(ParseTarnYml, DbtPlanMustBeAMapping) {
  EXPECT_EQ(failure("dbt-plan: 30"),
            "invalid type: integer `30`, expected struct DbtPlanLayer at line 1 column 11");
  EXPECT_EQ(failure("dbt-plan: [30]"),
            "invalid type: sequence, expected struct DbtPlanLayer at line 1 column 11");
  EXPECT_EQ(failure("dbt-plan: \"\""),
            "invalid type: string \"\", expected struct DbtPlanLayer at line 1 column 11");
}

TEST(ParseTarnYml, MaxWindowExpansionDaysInEveryBase) {
  EXPECT_EQ(max_days("16"), 16);
  EXPECT_EQ(max_days("0x10"), 16);
  EXPECT_EQ(max_days("0o20"), 16);
  EXPECT_EQ(max_days("0b10000"), 16);
  EXPECT_EQ(max_days("+16"), 16);
  EXPECT_EQ(max_days("-16"), -16);
  EXPECT_EQ(max_days("-0x10"), -16);
  EXPECT_EQ(max_days("0xfF"), 255);
  EXPECT_EQ(max_days("007"), 7);
  EXPECT_EQ(max_days("0"), 0);
  EXPECT_EQ(max_days("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(max_days("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(max_days("-0x8000000000000000"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(max_days("0x7fffffffffffffff"), std::numeric_limits<std::int64_t>::max());
}

TEST(ParseTarnYml, MaxWindowExpansionDaysOutOfRangeIsAnInvalidValue) {
  EXPECT_EQ(max_days_failure("9223372036854775808"),
            "invalid value: integer `9223372036854775808`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("-9223372036854775809"),
            "invalid value: integer `-9223372036854775809`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("0x8000000000000000"),
            "invalid value: integer `0x8000000000000000`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("99999999999999999999999999999999"),
            "invalid value: integer `99999999999999999999999999999999`, expected i64 at line 2 "
            "column 30");
}

TEST(ParseTarnYml, MaxWindowExpansionDaysOfAnotherTypeIsATypeError) {
  EXPECT_EQ(max_days_failure("1.5"),
            "invalid type: floating point `1.5`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("1e3"),
            "invalid type: floating point `1e3`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure(".inf"),
            "invalid type: floating point `.inf`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("\"16\""),
            "invalid type: string \"16\", expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("x"), "invalid type: string \"x\", expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("0x"),
            "invalid type: string \"0x\", expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("1_000"),
            "invalid type: string \"1_000\", expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("true"),
            "invalid type: boolean `true`, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("[1]"), "invalid type: sequence, expected i64 at line 2 column 30");
  EXPECT_EQ(max_days_failure("{a: 1}"), "invalid type: map, expected i64 at line 2 column 30");
}

TEST(ParseTarnYml, UnknownKeysAreSkippedWhateverTheirValue) {
  const TarnYml yml = parsed(
      "dbt_command: ignored\n"
      "Against: ignored\n"
      "project:\n"
      "  nested: {deep: [1, 2, {x: [y]}]}\n"
      "list: [a, [b, [c]]]\n"
      "? [complex, key]\n"
      ": value\n"
      "42: number key\n"
      "~: null key\n"
      "dbt-plan:\n"
      "  max_window_expansion_days: 5\n"
      "  extra: [1, 2]\n"
      "against: main\n");
  EXPECT_EQ(yml.against, "main");
  EXPECT_EQ(yml.dbt_command, std::nullopt);
  ASSERT_TRUE(yml.dbt_plan.has_value());
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, std::nullopt);
  // Only the program's own section is its to judge.
  EXPECT_THAT(yml.dbt_plan->unknown_keys, ElementsAre("max_window_expansion_days", "extra"));
}

TEST(ParseTarnYml, RepeatedKeysAreRejected) {
  EXPECT_EQ(failure("against: a\nagainst: b\n"), "duplicate field `against` at line 2 column 1");
  EXPECT_EQ(failure("{dbt-args: a, x: 1, dbt-args: a}"),
            "duplicate field `dbt-args` at line 1 column 21");
  EXPECT_EQ(failure("dbt-plan:\n  max-window-expansion-days: 1\n  max-window-expansion-days: 1\n"),
            "duplicate field `max-window-expansion-days` at line 3 column 3");
  EXPECT_THAT(failure("against: a\n\"against\": b\n"), HasSubstr("duplicate field `against`"));
  // Keys are compared within one mapping only.
  EXPECT_EQ(parsed("against: a\nother:\n  against: b\n").against, "a");
}

TEST(ParseTarnYml, EmptyInputsSetNothing) {
  for (const std::string_view text : {"", "\n\n", "# only a comment\n", "---\n", "---\n...\n",
                                      "~\n", "null", "--- # comment\n"}) {
    const TarnYml yml = parsed(text);
    EXPECT_FALSE(yml.against || yml.dbt_command || yml.dbt_args || yml.dbt_plan) << text;
  }
}

TEST(ParseTarnYml, TheDocumentMustBeAMapping) {
  EXPECT_EQ(failure("- a\n- b\n"),
            "invalid type: sequence, expected struct TarnYml at line 1 column 1");
  EXPECT_EQ(failure("main"),
            "invalid type: string \"main\", expected struct TarnYml at line 1 column 1");
  EXPECT_EQ(failure("\n  42"),
            "invalid type: integer `42`, expected struct TarnYml at line 2 column 3");
}

TEST(ParseTarnYml, MoreThanOneDocumentIsAnError) {
  EXPECT_EQ(failure("against: a\n---\nagainst: b\n"),
            "deserializing from YAML containing more than one document is not supported at line "
            "2 column 1");
  EXPECT_THAT(failure("---\n---\n"), HasSubstr("more than one document"));
}

TEST(ParseTarnYml, SyntaxErrorsCarryTheirPosition) {
  EXPECT_EQ(failure("against: \"open\n"),
            "found unexpected end of stream while scanning a quoted scalar at line 2 column 1");
  EXPECT_EQ(failure("against: [a, b\n"),
            "did not find expected ',' or ']' while parsing a flow sequence at line 2 column 1");
  EXPECT_EQ(failure("against: a\n\tdbt-args: b\n"),
            "found a tab character that violates indentation while scanning a plain scalar at "
            "line 2 column 1");
  for (const std::string_view text : {"a: b\n c: d: e\n", "a: b\n- c\n", "[a, {b: c]\n", "a: 'x\n",
                                      "&a [*a]", "a: *missing", "\"\\q\"", "key: @value"}) {
    EXPECT_THAT(failure(text), ContainsRegex(" at line [0-9]+ column [0-9]+$")) << text;
  }
}

TEST(ParseTarnYml, InvalidBytesAreAPositionedError) {
  EXPECT_EQ(failure("against: main\ndbt-args: \xFF\n"),
            "invalid leading UTF-8 octet at line 2 column 11");
  EXPECT_EQ(failure("against: ma\0in\n"s),
            "control characters are not allowed at line 1 column 12");
  EXPECT_EQ(failure("against: caf\xC3\xA9 \x01"s),
            "control characters are not allowed at line 1 column 15");
}

TEST(ParseTarnYml, AliasesResolveToTheirAnchoredValue) {
  const TarnYml yml = parsed(
      "defaults: &ref main\n"
      "plan: &plan {max-window-expansion-days: 0x1e}\n"
      "against: *ref\n"
      "dbt-plan: *plan\n");
  EXPECT_EQ(yml.against, "main");
  ASSERT_TRUE(yml.dbt_plan.has_value());
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, 30);
  // The later definition of an anchor name wins.
  EXPECT_EQ(parsed("a: &x one\nb: &x two\nagainst: *x\n").against, "two");
  // A type error points at the alias, not at the anchored value.
  EXPECT_EQ(failure("x: &seq [1]\n\nagainst: *seq\n"),
            "invalid type: sequence, expected a string at line 3 column 10");
}

TEST(ParseTarnYml, UnknownOrSelfReferencingAliasesAreErrors) {
  EXPECT_EQ(failure("against: *nowhere\n"), "unknown anchor at line 1 column 10");
  EXPECT_EQ(failure("x: &loop [a, *loop]\n"), "unknown anchor at line 1 column 14");
  EXPECT_EQ(failure("x: &loop {k: *loop}\n"), "unknown anchor at line 1 column 14");
}

TEST(ParseTarnYml, TagsAreIgnored) {
  const TarnYml yml = parsed(
      "--- !!map\n"
      "against: !!str main\n"
      "dbt-args: !custom --target ci\n"
      "dbt-command: !!str null\n"
      "dbt-plan: !!map {max-window-expansion-days: !!int 7}\n");
  EXPECT_EQ(yml.against, "main");
  EXPECT_EQ(yml.dbt_args, "--target ci");
  EXPECT_EQ(yml.dbt_command, std::nullopt);
  EXPECT_EQ(yml.dbt_plan->max_window_expansion_days, 7);
}

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

template <typename Body>
std::chrono::milliseconds elapsed(Body body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(ParseTarnYml, AnAliasBombIsNeverExpanded) {
  const std::string bomb = alias_bomb();
  const auto time = elapsed([&] {
    EXPECT_EQ(parsed(bomb + "against: main\n").against, "main");
    EXPECT_EQ(failure(bomb + "against: *a19\n"),
              "invalid type: sequence, expected a string at line 21 column 10");
    EXPECT_EQ(failure(bomb + "dbt-plan: {max-window-expansion-days: *a19}\n"),
              "invalid type: sequence, expected i64 at line 21 column 39");
  });
  EXPECT_LT(time.count(), 2000);
}

TEST(ParseTarnYml, NestingIsLimitedTo128Levels) {
  const auto time = elapsed([] {
    EXPECT_EQ(failure(std::string(100'000, '[')),
              "recursion limit exceeded: more than 128 nested levels at line 1 column 129");
    EXPECT_THAT(failure("x: " + std::string(100'000, '{')),
                HasSubstr("recursion limit exceeded: more than 128 nested levels"));
    std::string block;
    for (int level = 0; level < 200; ++level) {
      block += std::string(level * 2, ' ') + "k:\n";
    }
    EXPECT_EQ(failure(block),
              "recursion limit exceeded: more than 128 nested levels at line 129 column 257");
  });
  EXPECT_LT(time.count(), 2000);
  // The top-level mapping is the first level.
  EXPECT_EQ(
      parsed("x: " + std::string(127, '[') + std::string(127, ']') + "\nagainst: y\n").against,
      "y");
  EXPECT_THAT(failure("x: " + std::string(128, '[') + std::string(128, ']') + "\n"),
              HasSubstr("recursion limit exceeded"));
}

TEST(ParseTarnYml, JunkNeverCrashes) {
  std::mt19937 random(20241205);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::string junk(static_cast<std::size_t>(byte(random)) * 4, '\0');
    for (char& c : junk) {
      c = static_cast<char>(byte(random));
    }
    const auto yml = parse_tarn_yml(junk);
    if (!yml) {
      EXPECT_THAT(yml.error(), ContainsRegex(" at line [0-9]+ column [0-9]+"));
    }
  }
}

TEST(ParseTarnYml, MutatedFilesNeverCrash) {
  const std::string base =
      "against: &r main\ndbt-command: \"dbt\"\ndbt-args: '--target ci'\n"
      "dbt-plan: {max-window-expansion-days: 0x10}\nother: [*r, {a: b}]\n";
  const std::string alphabet = "[]{}:,-?&*!|>'\"#%@` \n\t\\0x.~";
  std::mt19937 random(7);
  for (int round = 0; round < 5000; ++round) {
    std::string text = base;
    for (int edit = 0; edit < 4; ++edit) {
      const std::size_t at = random() % text.size();
      text[at] = alphabet[random() % alphabet.size()];
    }
    const auto yml = parse_tarn_yml(text);
    if (!yml) {
      EXPECT_THAT(yml.error(), ContainsRegex(" at line [0-9]+ column [0-9]+")) << text;
    }
  }
}

}  // namespace
}  // namespace tarn
