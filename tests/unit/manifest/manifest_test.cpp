// What the reader makes of manifest.json: the keys it reads, what it skips, the exact refusal
// of text that is not JSON or not dbt's shape, and the mapped file. The fuzz replay reads the
// real manifests among the fixtures against another reader.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <map>

#include "manifest/manifest.h"
#include "manifest/manifest_text.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

/// A manifest whose one model, model.p.m, has the given extra members.
std::string model(std::string_view members) {
  return R"({"nodes": {"model.p.m": {"name": "m", "resource_type": "model", )" +
         std::string(members) + "}}}";
}
std::string tarn(std::string_view members) {
  return model(R"("config": {"meta": {"tarn": {)" + std::string(members) + "}}}");
}
std::string skipped(std::string_view value) {
  return model(R"("x": )" + std::string(value));
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
  const Manifest manifest = parse_manifest(json).value();
  EXPECT_EQ(manifest.generated_at, "then");
  std::map<std::string, std::string> nodes;  // each node in one line, by id
  for (const auto& [id, n] : manifest.nodes) {
    nodes[id] = fmt::format("{}{}{} <- [{}] at {} as {} {}", n.id == id ? "" : n.id + " ",
                            printed_name(n), n.is_source ? " source" : "",
                            fmt::join(n.depends_on, " "), n.event_time.value_or("-"),
                            n.materialized.value_or("-"), n.incremental_strategy.value_or("-"));
    if (const auto& t = n.meta) {
      using Sorted = std::map<std::string, std::int64_t>;
      nodes[id] +=
          fmt::format(" tarn {} {} {} {} {} {}", t->lookback, unit_name(t->lookback_unit),
                      t->lookahead, unit_name(t->lookahead_unit),
                      Sorted(t->lookback_overrides.begin(), t->lookback_overrides.end()),
                      Sorted(t->lookahead_overrides.begin(), t->lookahead_overrides.end()));
    }
  }
  EXPECT_EQ(nodes, (decltype(nodes){
                       {"model.p.m",
                        "m.v2 <- [source.p.s model.p.n source.p.s] at at as incremental microbatch "
                        "tarn -9223372036854775808 week 2 month {\"n\": 4} "
                        "{\"n\": 9223372036854775807, \"s\": 1}"},
                       {"model.p.n", "n <- [] at - as - -"},
                       {"model.p.t", "t <- [] at - as - - tarn 0 day 0 day {} {}"},
                       {"source.p.s", "s source <- [] at - as - -"}}));
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
INSTANTIATE_TEST_SUITE_P(Cases, Refused, ::testing::Values(
    Refusal{"Literal", skipped("[true, @nulll]"), "invalid literal"},
    Refusal{"LeadingZero", skipped("@01"), "invalid number"},
    Refusal{"HugeNumber", skipped("[@1e999]"), "number out of range"},
    Refusal{"BadEscape", skipped(R"("a@\qb")"), "invalid escape in string"},
    Refusal{"ColonAfterRead", tarn(R"("lookback": 1@:2)"), "expected `,` `:` `}` or `]`, or a key"},
    Refusal{"ControlCharacter", "{\"a\": \"x@\ty\"}", "control character in string"},
    Refusal{"UnclosedString", R"({"a": @"xy})", "unclosed string"},
    Refusal{"InvalidUtf8", "{\"a\": \"@\xff\"}", "invalid UTF-8"},
    Refusal{"Empty", "@", "empty document"},
    Refusal{"CutShort", R"({"nodes": {@)", "unexpected end of input, or text after the top object"},
    Refusal{"TextAfter", R"({"nodes": {}}@{})", "trailing characters"},
    Refusal{"NullNode", R"({"nodes": {"a": @null}})", "invalid type: null, expected a node object"},
    Refusal{"IntegerForString", R"({"metadata": {"generated_at": @5}})",
            "invalid type: integer `5`, expected a string"},
    Refusal{"AboveI64", tarn(R"("lookahead": @9223372036854775808)"),
            "invalid value: integer `9223372036854775808`, expected a signed 64-bit integer"},
    Refusal{"Fraction", tarn(R"("lookback_overrides": {"a": @2.0})"),
            "invalid type: floating point `2.0`, expected a signed 64-bit integer"},
    Refusal{"UnitCase", tarn(R"("lookahead_unit": @"Week")"),
            "unknown variant `Week`, expected one of `day`, `week`, `month`, `year`"},
    Refusal{"BooleanVersion", model(R"("version": @false)"),
            "invalid type: boolean `false`, expected an integer, a float or a string"},
    Refusal{"LongStringCut", R"({"metadata": @")" + std::string(70, 'x') + "\"}",
            "invalid type: string \"" + std::string(63, 'x') + "..., expected an object"},
    Refusal{"NoResourceType", R"({"nodes": {"a": @{"name": "a"}}})",
            "missing field `resource_type`"},
    Refusal{"RepeatedKey", tarn(R"("lookahead_overrides": {}, @"lookahead_overrides": {})"),
            "duplicate field `lookahead_overrides`"}),
    [](const auto& info) { return std::get<0>(info.param); });
// clang-format on

TEST(LoadManifest, FailsWithThePathAndTheDetail) {
  const testing::ScratchDir dir;
  const std::string path = (dir / "manifest.json").string();
  testing::write_file(path, "{\n  \"\xc3\xa9\": tru\n}");
  EXPECT_EQ(load_manifest(path).error().message(), path + ": invalid literal at line 2 column 8");
  testing::write_file(path, "{\"x\": tru, \"y\": \"\xc0\xaf\"}");
  EXPECT_EQ(load_manifest(path).error().message(), path + ": stream did not contain valid UTF-8");
  EXPECT_EQ(load_manifest(dir / "x").error().detail, "No such file or directory (os error 2)");
}

TEST(ManifestText, IsFollowedByZeroPaddingAndReadsZerosWhereTheFileWasCut) {
  const testing::ScratchDir dir;
  testing::write_file(dir / "m", std::string(2 * 4096, 'a'));
  auto text = manifest_text::Text::load(dir / "m");
  ASSERT_TRUE(text && text->mapped());
  EXPECT_EQ(std::string_view(text->data(), text->size() + simdjson::SIMDJSON_PADDING),
            std::string(2 * 4096, 'a') + std::string(simdjson::SIMDJSON_PADDING, '\0'));
  EXPECT_FALSE(text->changed());
  {
    manifest_text::TruncationGuard guard(*text);
    std::filesystem::resize_file(dir / "m", 10);
    EXPECT_EQ(std::string(text->data(), text->size()),
              std::string(10, 'a') + std::string(8182, '\0'));
  }
  EXPECT_TRUE(text->changed());
}

}  // namespace
}  // namespace tarn
