// Keys the reader does not keep are still JSON: whatever they hold is
// skipped when well formed and refused, with its position, when not.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest/manifest.h"
#include "manifest_test_support.h"

namespace tarn {
namespace {

using ::testing::IsEmpty;
using testing::model_of;
using testing::node_of;
using testing::parse_error;
using testing::parsed;
using testing::position_of;
using testing::with_model;

constexpr std::string_view every_kind_of_value =
    R"({"s": "text \" \\ \/ \b\f\n\r\t \u00e9 \ud83d\ude00", "e": "", "i": -12, "z": 0,
        "f": 1.5e-3, "g": -0.0E+2, "big": 123456789012345678901234567890, "t": true,
        "n": null, "fa": false, "a": [], "o": {},
        "mix": [[[]], {"a": [null, {"b": [1, "x", {"c": {}}]}]}, [null, true, 2.5]]})";

TEST(ManifestJson, UnknownKeysOfEveryTypeAreSkippedAtEveryLevel) {
  std::string junk = fmt::format(R"("x": {}, "x": {})", every_kind_of_value, every_kind_of_value);
  std::string json = fmt::format(
      R"({{{0}, "metadata": {{{0}, "generated_at": "g", {0}}},
         "nodes": {{"model.a": {{{0}, "name": "a", {0}, "resource_type": "model",
           "depends_on": {{{0}, "nodes": ["p"], {0}}},
           "config": {{{0}, "meta": {{{0}, "tarn": {{{0}, "lookback": 1, {0}}}}}}}}}}},
         "sources": {{"source.s": {{{0}, "name": "s", {0}}}}}, {0}}})",
      junk);
  Manifest manifest = parsed(json);
  EXPECT_EQ(manifest.generated_at, "g");
  ASSERT_EQ(manifest.nodes.size(), 2u);
  const ManifestNode& node = node_of(manifest, "model.a");
  EXPECT_EQ(node.name, "a");
  EXPECT_EQ(node.depends_on, std::vector<std::string>{"p"});
  ASSERT_TRUE(node.meta);
  EXPECT_EQ(node.meta->lookback, 1);
  EXPECT_EQ(node_of(manifest, "source.s").name, "s");
}

TEST(ManifestJson, KnownKeyNamesInsideSkippedValuesAreNotRead) {
  Manifest manifest = parsed(with_model(
      R"("columns": {"name": {"name": "id", "config": {"meta": {"tarn": {"lookback": 9}}}}},
         "unrendered_config": {"event_time": "t", "meta": {"tarn": {}}})"));
  const ManifestNode& node = node_of(manifest);
  EXPECT_EQ(node.name, "orders");
  EXPECT_FALSE(node.event_time);
  EXPECT_FALSE(node.meta);
}

struct Malformed {
  std::string_view value;    // placed under an unknown key of a model
  std::string_view message;  // followed by " at " and the position of `token`
  std::string_view token;
};

class MalformedSkippedValue : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedSkippedValue, FailsTheWholeRead) {
  const Malformed& malformed = GetParam();
  std::string json = with_model(fmt::format(R"("unknown": {})", malformed.value));
  std::string_view value_start = std::string_view(json).substr(json.find("\"unknown\""));
  std::size_t token_at = json.find(malformed.token, json.size() - value_start.size());
  ASSERT_NE(token_at, std::string::npos);
  EXPECT_EQ(parse_error(json),
            fmt::format("{} at line 1 column {}", malformed.message, token_at + 1));
}

constexpr std::string_view structure = "expected `,` `:` `}` or `]`, or a key";

INSTANTIATE_TEST_SUITE_P(
    Literals, MalformedSkippedValue,
    ::testing::Values(Malformed{"tru", "invalid literal", "tru"},
                      Malformed{"nul", "invalid literal", "nul"},
                      Malformed{"falsey", "invalid literal", "falsey"},
                      Malformed{"[true, nulll]", "invalid literal", "nulll"},
                      Malformed{"True", "expected a value", "True"},
                      Malformed{"NaN", "expected a value", "NaN"},
                      Malformed{"{\"a\": [1, {\"b\": Infinity}]}", "expected a value", "Infinity"}),
    [](const auto& info) { return testing::case_name(info.param.value, info.index); });

INSTANTIATE_TEST_SUITE_P(Numbers, MalformedSkippedValue,
                         ::testing::Values(Malformed{"01", "invalid number", "01"},
                                           Malformed{"1.", "invalid number", "1."},
                                           Malformed{"-", "invalid number", "-"},
                                           Malformed{".5", "expected a value", ".5"},
                                           Malformed{"+1", "expected a value", "+1"},
                                           Malformed{"1e", "invalid number", "1e"},
                                           Malformed{"1e+", "invalid number", "1e+"},
                                           Malformed{"0x10", "invalid number", "0x10"},
                                           Malformed{"-Infinity", "invalid number", "-Infinity"},
                                           Malformed{"[1, 2, 3-4]", "invalid number", "3-4"}),
                         [](const auto& info) {
                           return testing::case_name(info.param.value, info.index);
                         });

INSTANTIATE_TEST_SUITE_P(
    Strings, MalformedSkippedValue,
    ::testing::Values(Malformed{R"("a\qb")", "invalid escape in string", R"(\q)"},
                      Malformed{R"("\u12")", "invalid escape in string", R"(\u12)"},
                      Malformed{R"("\u12G4")", "invalid escape in string", R"(\u12)"},
                      Malformed{R"("x\ud800")", "invalid escape in string", R"(\ud800)"},
                      Malformed{R"("\ud800\u0041")", "invalid escape in string", R"(\ud800)"},
                      Malformed{R"("\udc00")", "invalid escape in string", R"(\udc00)"},
                      Malformed{R"(["ok", {"k": "\x"}])", "invalid escape in string", R"(\x)"},
                      Malformed{R"({"bad\key": 1})", "invalid escape in string", R"("bad)"}),
    [](const auto& info) { return testing::case_name(info.param.value, info.index); });

INSTANTIATE_TEST_SUITE_P(Structure, MalformedSkippedValue,
                         ::testing::Values(Malformed{"[1 2]", structure, "2]"},
                                           Malformed{R"({"a" 1})", structure, "1}"},
                                           Malformed{R"({"a": 1 "b": 2})", structure, R"("b")"},
                                           Malformed{R"({"a": 1,})", structure, "}"},
                                           Malformed{R"({1: 2})", structure, "1:"},
                                           Malformed{R"({"a": })", "expected a value", "}"},
                                           Malformed{"[1,]", "expected a value", "]"},
                                           Malformed{"[,1]", "expected a value", ",1"},
                                           Malformed{R"([{"a": 1]])", structure, "]]"}),
                         [](const auto& info) {
                           return testing::case_name(info.param.value, info.index);
                         });

TEST(ManifestJson, RawControlCharactersAndUnclosedStringsAreRefused) {
  EXPECT_EQ(parse_error("{\"a\": \"x\ty\"}"), "control character in string at line 1 column 9");
  EXPECT_EQ(parse_error("{\"a\":\n \"x\ny\"}"), "control character in string at line 2 column 4");
  EXPECT_EQ(parse_error("{\"a\": \"xy}"), "unclosed string at line 1 column 7");
}

TEST(ManifestJson, InvalidUtf8IsRefusedWhereItStands) {
  EXPECT_EQ(parse_error("{\"a\": \"\xc3\xa9\xff\"}"), "invalid UTF-8 at line 1 column 9");
  EXPECT_EQ(parse_error("{\"a\": \"\xed\xa0\x80\"}"), "invalid UTF-8 at line 1 column 8");
}

TEST(ManifestJson, DocumentLevelFaults) {
  EXPECT_EQ(parse_error(""), "empty document at line 1 column 1");
  EXPECT_EQ(parse_error(" \n  "), "empty document at line 2 column 3");
  EXPECT_EQ(parse_error(R"({"nodes": {)"),
            "unexpected end of input, or text after the top object at line 1 column 12");
  EXPECT_EQ(parse_error(R"({"nodes": {}} x)"),
            "unexpected end of input, or text after the top object at line 1 column 16");
  EXPECT_EQ(parse_error(R"({"nodes": {"a": {"name": "a", "resource_type": "test"}})"),
            "unexpected end of input at line 1 column 56");
  EXPECT_EQ(parse_error(R"({"nodes": {}}{})"), "trailing characters at line 1 column 14");
  EXPECT_EQ(parse_error("tru"), "invalid literal at line 1 column 1");
}

TEST(ManifestJson, ColumnsCountCharactersNotBytes) {
  std::string json = "{\n  \"\xc3\xa9t\xc3\xa9\": \"\xe2\x82\xac\", \"x\": tru\n}";
  EXPECT_EQ(parse_error(json), "invalid literal at line 2 column 20");
}

std::string nested_arrays(std::size_t depth) {
  return fmt::format(R"({{"x": {}{}}})", std::string(depth, '['), std::string(depth, ']'));
}

TEST(ManifestJson, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  std::string json = nested_arrays(100'000);
  // With the top object at level 1, the array whose elements would sit at
  // level 1024 is refused: the 1022nd bracket.
  EXPECT_EQ(parse_error(json),
            fmt::format("recursion limit exceeded at line 1 column {}", json.find('[') + 1021 + 1));
  std::string objects = "{\"x\": ";
  for (int i = 0; i < 100'000; ++i) {
    objects += "{\"k\": ";
  }
  objects += "1" + std::string(100'000, '}') + "}";
  EXPECT_THAT(parse_error(objects), ::testing::StartsWith("recursion limit exceeded at line 1"));
}

TEST(ManifestJson, NestingUpToTheLimitIsAccepted) {
  EXPECT_THAT(parsed(nested_arrays(1021)).nodes, IsEmpty());
}

TEST(ManifestJson, KnownValuesAreCheckedBeforeTheirTypeIsJudged) {
  EXPECT_EQ(parse_error(R"({"metadata": {"generated_at": tru}})"),
            "invalid literal at line 1 column 31");
  EXPECT_EQ(parse_error(R"({"nodes": {"a": {"name": "a", "resource_type": "\q"}}})"),
            "invalid escape in string at line 1 column 49");
}

TEST(ManifestJson, RepeatedUnknownKeysAreSkippedEachTime) {
  Manifest manifest = parsed(with_model(R"("tags": [], "tags": {"a": 1}, "tags": null)"));
  EXPECT_EQ(node_of(manifest).name, "orders");
}

}  // namespace
}  // namespace tarn
