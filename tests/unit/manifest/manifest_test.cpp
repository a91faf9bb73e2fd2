// The fuzz replay reads the real manifests.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "manifest/manifest.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

/// A manifest whose one model, model.p.m, has the given extra members.
std::string model(const std::string& members) {
  return R"({"nodes": {"model.p.m": {"name": "m", "resource_type": "model", )" + members + "}}}";
}
/// A manifest whose one model has the given config.meta.tarn members.
std::string tarn(const std::string& members) {
  return model(R"("config": {"meta": {"tarn": {)" + members + "}}}");
}

TEST(ParseManifest, KeepsWhatItReadsAndChecksButSkipsEverythingElse) {
  const std::string json = fmt::format(
      R"({{"x": {0}, "metadata": {{"generated_at": "then", "x": {0}}}, "x": [], "nodes": {{
      "model.p.m": {{"name": "m", "resource_type": "model", "version": 2, "x": {0},
        "depends_on": {{"macros": ["x"], "nodes": ["source.p.s", "model.p.n", "source.p.s"]}},
        "config": {{"event_time": "at", "materialized": "incremental", "x": {0},
          "incremental_strategy": "microbatch", "meta": {{"x": {0}, "tarn": {{
            "lookback": -9223372036854775808, "lookback_unit": "week", "lookahead": 2, "x": {0},
            "lookahead_unit": "month", "lookback_overrides": {{"n": 4}},
            "lookahead_overrides": {{"s": 1, "n": 9223372036854775807}}}}}}}}}},
      "model.p.n": {{"name": "n", "resource_type": "model", "version": null,
        "config": {{"event_time": null, "meta": {{"tarn": null}}}}, "unrendered_config": {0}}},
      "model.p.t": {{"name": "t", "resource_type": "model", "config": {{"meta": {{"tarn": {{}}}}}}}},
      "test.p.x": {{"name": "x", "resource_type": "test"}}}},
    "sources": {{"source.p.s": {{"name": "s", "depends_on": {{"nodes": ["x"]}}, "version": [1],
      "config": {{"event_time": "at", "meta": {{"tarn": {{}}}}}}}}}}}})",
      R"({"s": "\" \\ \/ \b\f\n\r\t \u00e9 \ud83d\ude00", "i": -12, "f": -0.0E+2, "t": true,
          "n": null, "big": 123456789012345678901234567890, "a": [[], {"o": {"tarn": 9}}]})");
  const TarnMeta m{INT64_MIN,         WindowUnit::week, 2,
                   WindowUnit::month, {{"n", 4}},       {{"s", 1}, {"n", INT64_MAX}}};
  const std::vector<std::string> parents{"source.p.s", "model.p.n", "source.p.s"};
  const Manifest expected{
      "then",
      {{"model.p.m", {"model.p.m", "m", parents, "at", m, false, "2", "incremental", "microbatch"}},
       {"model.p.n", {"model.p.n", "n"}},
       {"model.p.t", {"model.p.t", "t", {}, {}, TarnMeta{}}},
       {"source.p.s", {"source.p.s", "s", {}, {}, {}, true}}}};
  EXPECT_EQ(parse_manifest(json).value(), expected);
}

/// Name, the text with '@' where the failure is reported (taken out), and the message.
using Refusal = std::tuple<const char*, std::string, std::string>;
class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, AtTheOffendingToken) {
  auto [name, json, message] = GetParam();
  const std::size_t at = json.find('@');
  json.erase(at, 1);
  const auto manifest = parse_manifest(json);
  EXPECT_EQ(manifest ? "accepted" : manifest.error(),
            message + " at line 1 column " + std::to_string(at + 1));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Refused, ::testing::ValuesIn(std::vector<Refusal>{
    {"Literal", model(R"("x": [true, @nulll])"), "invalid literal"},
    {"LeadingZero", model(R"("x": @01)"), "invalid number"},
    {"TwoMinusSigns", model(R"("x": @--1)"), "invalid number"},
    {"HugeNumber", model(R"("x": [@1e999])"), "number out of range"},
    {"BadEscape", model(R"("x": "a@\qb")"), "invalid escape in string"},
    {"ColonAfterRead", tarn(R"("lookback": 1@:2)"), "expected `,` `:` `}` or `]`, or a key"},
    {"ControlCharacter", "{\"a\": \"x@\ty\"}", "control character in string"},
    {"UnclosedString", R"({"a": @"xy})", "unclosed string"},
    {"InvalidUtf8", "{\"a\": \"@\xff\"}", "invalid UTF-8"},
    {"Empty", "@", "empty document"},
    {"TooDeep", R"({"a": )" + std::string(1021, '[') + "@[" + std::string(1022, ']') + "}",
     "recursion limit exceeded"},
    {"CutShort", R"({"nodes": {@)", "unexpected end of input, or text after the top object"},
    {"TextAfter", R"({"nodes": {}}@{})", "trailing characters"},
    {"NullNode", R"({"nodes": {"a": @null}})", "invalid type: null, expected a node object"},
    {"IntegerForString", R"({"metadata": {"generated_at": @5}})",
     "invalid type: integer `5`, expected a string"},
    {"AboveI64", tarn(R"("lookahead": @9223372036854775808)"),
     "invalid value: integer `9223372036854775808`, expected a signed 64-bit integer"},
    {"Fraction", tarn(R"("lookback_overrides": {"a": @2.0})"),
     "invalid type: floating point `2.0`, expected a signed 64-bit integer"},
    {"UnitCase", tarn(R"("lookahead_unit": @"Week")"),
     "unknown variant `Week`, expected one of `day`, `week`, `month`, `year`"},
    {"BooleanVersion", model(R"("version": @false)"),
     "invalid type: boolean `false`, expected an integer, a float or a string"},
    {"LongStringCut", R"({"metadata": @")" + std::string(70, 'x') + "\"}",
     "invalid type: string \"" + std::string(63, 'x') + "..., expected an object"},
    {"NoResourceType", R"({"nodes": {"a": @{"name": "a"}}})", "missing field `resource_type`"},
    {"RepeatedKey", tarn(R"("lookahead": 1, @"lookahead": 1)"), "duplicate field `lookahead`"}}),
    [](const auto& info) { return std::get<0>(info.param); });
// clang-format on

TEST(LoadManifest, FailsWithThePathAndTheDetail) {
  const testing::ScratchDir dir;
  const std::string path = (dir / "manifest.json").string();
  testing::write_file(path, "{\n  \"\xc3\xa9\": tru\n}");  // columns count characters
  EXPECT_EQ(load_manifest(path).error().message(), path + ": invalid literal at line 2 column 8");
  testing::write_file(path, "{\"x\": tru, \"y\": \"\xc0\xaf\"}");
  EXPECT_EQ(load_manifest(path).error().message(), path + ": stream did not contain valid UTF-8");
  EXPECT_EQ(load_manifest(dir / "x").error().detail, "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tarn
