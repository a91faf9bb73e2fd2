// The keys read from manifest.json: what each yields when present, absent
// or null, and how repeated keys, maps, sources and versions behave.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "manifest/manifest.h"
#include "manifest_test_support.h"

namespace tarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::model_of;
using testing::node_of;
using ::testing::Pair;
using testing::parse_error;
using testing::parsed;
using testing::position_of;
using ::testing::UnorderedElementsAre;
using testing::with_model;
using testing::with_node;
using testing::with_tarn;

TEST(ManifestShape, EmptyObjectIsAnEmptyGraph) {
  Manifest manifest = parsed("{}");
  EXPECT_THAT(manifest.nodes, IsEmpty());
  EXPECT_FALSE(manifest.generated_at);
}

TEST(ManifestShape, ModelCarriesEveryReadField) {
  Manifest manifest = parsed(R"({
    "metadata": {"generated_at": "2024-05-01T10:00:00.123Z", "dbt_version": "1.8.0"},
    "nodes": {"model.shop.orders": {
      "name": "orders", "resource_type": "model",
      "depends_on": {"macros": ["macro.x"], "nodes": ["source.shop.raw.o", "seed.shop.s", "source.shop.raw.o"]},
      "config": {"event_time": "ordered_at", "materialized": "incremental",
                 "meta": {"owner": "ops", "tarn": {
                   "lookback": -3, "lookback_unit": "week", "lookahead": 2, "lookahead_unit": "month",
                   "lookback_overrides": {"customers": 4, "stg": 0},
                   "lookahead_overrides": {"payments": 1}}}}}}})");
  EXPECT_EQ(manifest.generated_at, "2024-05-01T10:00:00.123Z");
  ASSERT_EQ(manifest.nodes.size(), 1u);
  const ManifestNode& node = node_of(manifest);
  EXPECT_EQ(node.id, "model.shop.orders");
  EXPECT_EQ(node.name, "orders");
  EXPECT_THAT(node.depends_on,
              ElementsAre("source.shop.raw.o", "seed.shop.s", "source.shop.raw.o"));
  EXPECT_EQ(node.event_time, "ordered_at");
  EXPECT_FALSE(node.is_source);
  EXPECT_FALSE(node.version);
  ASSERT_TRUE(node.meta);
  EXPECT_EQ(node.meta->lookback, -3);
  EXPECT_EQ(node.meta->lookback_unit, WindowUnit::week);
  EXPECT_EQ(node.meta->lookahead, 2);
  EXPECT_EQ(node.meta->lookahead_unit, WindowUnit::month);
  EXPECT_THAT(node.meta->lookback_overrides,
              UnorderedElementsAre(Pair("customers", 4), Pair("stg", 0)));
  EXPECT_THAT(node.meta->lookahead_overrides, UnorderedElementsAre(Pair("payments", 1)));
}

TEST(ManifestShape, AbsentOptionalKeysTakeTheirDefaults) {
  ManifestNode bare = model_of(with_model());
  EXPECT_THAT(bare.depends_on, IsEmpty());
  EXPECT_FALSE(bare.event_time);
  EXPECT_FALSE(bare.meta);

  EXPECT_THAT(model_of(with_model(R"("depends_on": {})")).depends_on, IsEmpty());
  EXPECT_FALSE(model_of(with_model(R"("config": {})")).meta);
  EXPECT_FALSE(model_of(with_model(R"("config": {"meta": {}})")).meta);

  ManifestNode empty_tarn = model_of(with_tarn(""));
  ASSERT_TRUE(empty_tarn.meta);
  EXPECT_EQ(empty_tarn.meta->lookback, 0);
  EXPECT_EQ(empty_tarn.meta->lookback_unit, WindowUnit::day);
  EXPECT_EQ(empty_tarn.meta->lookahead, 0);
  EXPECT_EQ(empty_tarn.meta->lookahead_unit, WindowUnit::day);
  EXPECT_THAT(empty_tarn.meta->lookback_overrides, IsEmpty());
  EXPECT_THAT(empty_tarn.meta->lookahead_overrides, IsEmpty());

  EXPECT_THAT(parsed(R"({"sources": {}, "nodes": {}})").nodes, IsEmpty());
  EXPECT_FALSE(parsed(R"({"metadata": {}})").generated_at);
}

TEST(ManifestShape, NullMeansAbsentWhereTheShapeAllowsIt) {
  EXPECT_FALSE(model_of(with_model(R"("config": {"event_time": null})")).event_time);
  EXPECT_FALSE(model_of(with_model(R"("config": {"meta": {"tarn": null}})")).meta);
  EXPECT_FALSE(parsed(R"({"metadata": null})").generated_at);
  EXPECT_FALSE(parsed(R"({"metadata": {"generated_at": null}})").generated_at);
  EXPECT_FALSE(model_of(with_model(R"("version": null)")).version);
}

struct Refusal {
  std::string json;
  std::string_view message;  // followed by " at " and the position of `token`
  std::string_view token;
};

class RefusedShape : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedShape, FailsAtTheOffendingToken) {
  const Refusal& refusal = GetParam();
  EXPECT_EQ(parse_error(refusal.json),
            fmt::format("{} at {}", refusal.message, position_of(refusal.json, refusal.token)));
}

constexpr std::string_view null_object = "invalid type: null, expected an object";
constexpr std::string_view null_string = "invalid type: null, expected a string";
constexpr std::string_view null_integer = "invalid type: null, expected a signed 64-bit integer";

INSTANTIATE_TEST_SUITE_P(
    NullWhereTheShapeForbidsIt, RefusedShape,
    ::testing::Values(
        Refusal{R"({"nodes": null})", "invalid type: null, expected an object of nodes", "null"},
        Refusal{R"({"sources": null})", "invalid type: null, expected an object of sources",
                "null"},
        Refusal{R"({"nodes": {"model.a": null}})", "invalid type: null, expected a node object",
                "null"},
        Refusal{with_node(R"("name": null, "resource_type": "model")"), null_string, "null"},
        Refusal{with_node(R"("name": "a", "resource_type": null)"), null_string, "null"},
        Refusal{with_model(R"("depends_on": null)"), null_object, "null"},
        Refusal{with_model(R"("depends_on": {"nodes": null})"),
                "invalid type: null, expected an array of strings", "null"},
        Refusal{with_model(R"("depends_on": {"nodes": ["a", null]})"), null_string, "null"},
        Refusal{with_model(R"("config": null)"), null_object, "null"},
        Refusal{with_model(R"("config": {"meta": null})"), null_object, "null"},
        Refusal{with_tarn(R"("lookback": null)"), null_integer, "null"},
        Refusal{with_tarn(R"("lookahead": null)"), null_integer, "null"},
        Refusal{with_tarn(R"("lookback_unit": null)"), null_string, "null"},
        Refusal{with_tarn(R"("lookahead_unit": null)"), null_string, "null"},
        Refusal{with_tarn(R"("lookback_overrides": null)"),
                "invalid type: null, expected an object of integers", "null"},
        Refusal{with_tarn(R"("lookahead_overrides": null)"),
                "invalid type: null, expected an object of integers", "null"},
        Refusal{with_tarn(R"("lookback_overrides": {"a": null})"), null_integer, "null"},
        Refusal{R"({"sources": {"source.a": {"name": null}}})", null_string, "null"}),
    [](const auto& info) { return testing::case_name(info.param.message, info.index); });

INSTANTIATE_TEST_SUITE_P(
    MissingRequiredKey, RefusedShape,
    ::testing::Values(
        Refusal{with_node(R"("resource_type": "model")"), "missing field `name`", "{\"res"},
        Refusal{with_node(R"("name": "a")"), "missing field `resource_type`", "{\"name"},
        Refusal{with_node(R"("name": "a", "x": {"resource_type": "model"})", "test.a"),
                "missing field `resource_type`", "{\"name"},
        Refusal{R"({"nodes": {"test.a": {"resource_type": "test"}}})", "missing field `name`",
                "{\"resource_type"},
        Refusal{R"({"sources": {"source.a": {"resource_type": "source"}}})", "missing field `name`",
                "{\"resource_type"}),
    [](const auto& info) { return testing::case_name(info.param.message, info.index); });

INSTANTIATE_TEST_SUITE_P(
    WrongType, RefusedShape,
    ::testing::Values(
        Refusal{"[]", "invalid type: array, expected a manifest object", "["},
        Refusal{R"("manifest")", R"(invalid type: string "manifest", expected a manifest object)",
                "\""},
        Refusal{R"({"nodes": []})", "invalid type: array, expected an object of nodes", "["},
        Refusal{R"({"metadata": "x"})", R"(invalid type: string "x", expected an object)", "\"x"},
        Refusal{R"({"metadata": {"generated_at": 5}})",
                "invalid type: integer `5`, expected a string", "5"},
        Refusal{with_node(R"("name": ["a"], "resource_type": "model")"),
                "invalid type: array, expected a string", "[\"a"},
        Refusal{with_model(R"("depends_on": {"nodes": "a"})"),
                R"(invalid type: string "a", expected an array of strings)", "\"a\""},
        Refusal{with_model(R"("config": {"event_time": true})"),
                "invalid type: boolean `true`, expected a string", "true"},
        Refusal{with_model(R"("config": {"meta": {"tarn": []}})"),
                "invalid type: array, expected an object", "[]"},
        Refusal{with_tarn(R"("lookback": "3")"),
                R"(invalid type: string "3", expected a signed 64-bit integer)", "\"3\""},
        Refusal{with_tarn(R"("lookback_unit": 1)"), "invalid type: integer `1`, expected a string",
                "1}"},
        Refusal{with_model(R"("version": false)"),
                "invalid type: boolean `false`, expected an integer, a float or a string",
                "false"}),
    [](const auto& info) { return testing::case_name(info.param.message, info.index); });

INSTANTIATE_TEST_SUITE_P(
    IntegerRange, RefusedShape,
    ::testing::Values(
        Refusal{with_tarn(R"("lookback": 9223372036854775808)"),
                "invalid value: integer `9223372036854775808`, expected a signed 64-bit integer",
                "9223"},
        Refusal{with_tarn(R"("lookahead": -9223372036854775809)"),
                "invalid value: integer `-9223372036854775809`, expected a signed 64-bit integer",
                "-9223"},
        Refusal{with_tarn(R"("lookback": 2.0)"),
                "invalid type: floating point `2.0`, expected a signed 64-bit integer", "2.0"},
        Refusal{with_tarn(R"("lookback": 1e3)"),
                "invalid type: floating point `1e3`, expected a signed 64-bit integer", "1e3"},
        Refusal{with_tarn(R"("lookahead_overrides": {"a": 0.5})"),
                "invalid type: floating point `0.5`, expected a signed 64-bit integer", "0.5"}),
    [](const auto& info) { return testing::case_name(info.param.message, info.index); });

INSTANTIATE_TEST_SUITE_P(
    UnitNames, RefusedShape,
    ::testing::Values(
        Refusal{with_tarn(R"("lookback_unit": "days")"),
                "unknown variant `days`, expected one of `day`, `week`, `month`, `year`", "\"days"},
        Refusal{with_tarn(R"("lookahead_unit": "Week")"),
                "unknown variant `Week`, expected one of `day`, `week`, `month`, `year`", "\"Week"},
        Refusal{with_tarn(R"("lookahead_unit": "")"),
                "unknown variant ``, expected one of `day`, `week`, `month`, `year`", "\"\""}),
    [](const auto& info) { return testing::case_name(info.param.message, info.index); });

TEST(ManifestShape, IntegersSpanTheSigned64BitRange) {
  ManifestNode node = model_of(with_tarn(
      R"("lookback": -9223372036854775808, "lookahead": 9223372036854775807,
         "lookback_overrides": {"a": -0, "b": 12})"));
  ASSERT_TRUE(node.meta);
  EXPECT_EQ(node.meta->lookback, INT64_MIN);
  EXPECT_EQ(node.meta->lookahead, INT64_MAX);
  EXPECT_THAT(node.meta->lookback_overrides, UnorderedElementsAre(Pair("a", 0), Pair("b", 12)));
}

TEST(ManifestShape, EachUnitNameIsRead) {
  for (auto [name, unit] :
       {std::pair{"day", WindowUnit::day}, std::pair{"week", WindowUnit::week},
        std::pair{"month", WindowUnit::month}, std::pair{"year", WindowUnit::year}}) {
    ManifestNode node = model_of(
        with_tarn(fmt::format(R"("lookback_unit": "{}", "lookahead_unit": "{}")", name, name)));
    ASSERT_TRUE(node.meta) << name;
    EXPECT_EQ(node.meta->lookback_unit, unit) << name;
    EXPECT_EQ(node.meta->lookahead_unit, unit) << name;
  }
}

TEST(ManifestShape, EscapedTextIsUnescaped) {
  Manifest manifest = parsed(
      R"({"nodes": {"model.a\u002eb": {"n\u0061me": "caf\u00e9 \"x\"", "resource_type": "mod\u0065l",
          "config": {"meta": {"tarn": {"lookback_unit": "w\u0065ek"}}}}}})");
  const ManifestNode& node = node_of(manifest, "model.a.b");
  EXPECT_EQ(node.id, "model.a.b");
  EXPECT_EQ(node.name, "caf\u00e9 \"x\"");
  ASSERT_TRUE(node.meta);
  EXPECT_EQ(node.meta->lookback_unit, WindowUnit::week);
}

struct Duplicate {
  std::string json;
  std::string_view key;
  int occurrence = 2;  // of the quoted key in the text, where the failure is
};

class DuplicateKey : public ::testing::TestWithParam<Duplicate> {};

TEST_P(DuplicateKey, IsRefusedAtItsSecondOccurrence) {
  const Duplicate& duplicate = GetParam();
  std::string quoted = fmt::format("\"{}\"", duplicate.key);
  EXPECT_EQ(parse_error(duplicate.json),
            fmt::format("duplicate field `{}` at {}", duplicate.key,
                        position_of(duplicate.json, quoted, duplicate.occurrence)));
}

INSTANTIATE_TEST_SUITE_P(
    InEveryRecord, DuplicateKey,
    ::testing::Values(
        Duplicate{R"({"nodes": {}, "nodes": {}})", "nodes"},
        Duplicate{R"({"sources": {}, "sources": {}})", "sources"},
        Duplicate{R"({"metadata": null, "metadata": {}})", "metadata"},
        Duplicate{R"({"metadata": {"generated_at": null, "generated_at": "x"}})", "generated_at"},
        Duplicate{with_model(R"("name": "again")"), "name"},
        Duplicate{with_model(R"("resource_type": "model")"), "resource_type"},
        Duplicate{with_model(R"("depends_on": {}, "depends_on": {})"), "depends_on"},
        Duplicate{with_model(R"("depends_on": {"nodes": [], "nodes": []})"), "nodes", 3},
        Duplicate{with_model(R"("config": {}, "config": {})"), "config"},
        Duplicate{with_model(R"("version": 1, "version": 2)"), "version"},
        Duplicate{with_model(R"("config": {"event_time": null, "event_time": "t"})"), "event_time"},
        Duplicate{with_model(R"("config": {"meta": {}, "meta": {}})"), "meta"},
        Duplicate{with_model(R"("config": {"meta": {"tarn": null, "tarn": {}}})"), "tarn"},
        Duplicate{with_tarn(R"("lookback": 1, "lookback": 1)"), "lookback"},
        Duplicate{with_tarn(R"("lookahead": 1, "lookahead": 1)"), "lookahead"},
        Duplicate{with_tarn(R"("lookback_unit": "day", "lookback_unit": "day")"), "lookback_unit"},
        Duplicate{with_tarn(R"("lookahead_unit": "day", "lookahead_unit": "day")"),
                  "lookahead_unit"},
        Duplicate{with_tarn(R"("lookback_overrides": {}, "lookback_overrides": {})"),
                  "lookback_overrides"},
        Duplicate{with_tarn(R"("lookahead_overrides": {}, "lookahead_overrides": {})"),
                  "lookahead_overrides"},
        Duplicate{R"({"sources": {"source.a": {"name": "a", "name": "b"}}})", "name"},
        // A test node is checked like a model before it is dropped.
        Duplicate{with_node(R"("name": "t", "resource_type": "test", "name": "u")", "test.t"),
                  "name"}),
    [](const auto& info) { return testing::case_name(info.param.key, info.index); });

TEST(ManifestShape, RepeatedMapKeysKeepTheLastValue) {
  Manifest manifest = parsed(R"({"nodes": {
      "model.a": {"name": "first", "resource_type": "model"},
      "model.a": {"name": "second", "resource_type": "model",
                  "config": {"meta": {"tarn": {"lookback_overrides": {"p": 1, "p": 2}}}}},
      "model.b": {"name": "b", "resource_type": "model"},
      "model.b": {"name": "b", "resource_type": "test"}}})");
  ASSERT_EQ(manifest.nodes.size(), 1u);
  const ManifestNode& node = node_of(manifest, "model.a");
  EXPECT_EQ(node.name, "second");
  ASSERT_TRUE(node.meta);
  EXPECT_THAT(node.meta->lookback_overrides, UnorderedElementsAre(Pair("p", 2)));
}

TEST(ManifestShape, OnlyExactModelResourceTypeIsKept) {
  Manifest manifest = parsed(R"({"nodes": {
      "model.a": {"name": "a", "resource_type": "Model"},
      "seed.s": {"name": "s", "resource_type": "seed", "config": {"meta": {"tarn": {}}}},
      "test.t": {"name": "t", "resource_type": "test", "depends_on": {"nodes": ["model.b"]}},
      "snapshot.x": {"name": "x", "resource_type": "snapshot"},
      "model.b": {"name": "b", "resource_type": "model"}}})");
  EXPECT_THAT(manifest.nodes, UnorderedElementsAre(Pair("model.b", ::testing::_)));
}

TEST(ManifestShape, SourcesKeepOnlyTheirNameAndIdentity) {
  Manifest manifest = parsed(R"({"sources": {"source.shop.raw.orders": {
      "name": "orders", "resource_type": "source", "source_name": "raw",
      "depends_on": {"nodes": ["x"]},
      "config": {"event_time": "loaded_at", "meta": {"tarn": {"lookback": 3}}},
      "version": [1, 2]}}})");
  const ManifestNode& source = node_of(manifest, "source.shop.raw.orders");
  EXPECT_EQ(source.id, "source.shop.raw.orders");
  EXPECT_EQ(source.name, "orders");
  EXPECT_TRUE(source.is_source);
  EXPECT_THAT(source.depends_on, IsEmpty());
  EXPECT_FALSE(source.event_time);
  EXPECT_FALSE(source.meta);
  EXPECT_FALSE(source.version);
}

TEST(ManifestShape, SourceReplacesANodeUnderTheSameIdInEitherOrder) {
  for (std::string_view json : {
           R"({"nodes": {"x.a": {"name": "model", "resource_type": "model"}},
               "sources": {"x.a": {"name": "source"}}})",
           R"({"sources": {"x.a": {"name": "source"}},
               "nodes": {"x.a": {"name": "model", "resource_type": "model"},
                         "x.a": {"name": "test", "resource_type": "test"}}})",
       }) {
    Manifest manifest = parsed(json);
    ASSERT_EQ(manifest.nodes.size(), 1u) << json;
    EXPECT_EQ(node_of(manifest, "x.a").name, "source") << json;
    EXPECT_TRUE(node_of(manifest, "x.a").is_source) << json;
  }
}

TEST(ManifestShape, ParentsAbsentFromTheGraphAndSharedNamesAreKept) {
  Manifest manifest = parsed(R"({"nodes": {
      "model.one.orders": {"name": "orders", "resource_type": "model",
                           "depends_on": {"nodes": ["model.nowhere", "seed.one.s"]}},
      "model.two.orders": {"name": "orders", "resource_type": "model"}}})");
  ASSERT_EQ(manifest.nodes.size(), 2u);
  EXPECT_THAT(node_of(manifest, "model.one.orders").depends_on,
              ElementsAre("model.nowhere", "seed.one.s"));
  EXPECT_EQ(node_of(manifest, "model.two.orders").name, "orders");
}

TEST(ManifestShape, VersionIsTheTextDbtPrintsAfterDotV) {
  auto version_of = [](std::string_view member) { return model_of(with_model(member)).version; };
  EXPECT_EQ(version_of(R"("version": 2)"), "2");
  EXPECT_EQ(version_of(R"("version": -1)"), "-1");
  EXPECT_EQ(version_of(R"("version": 1.5)"), "1.5");
  EXPECT_EQ(version_of(R"("version": 2.0)"), "2.0");
  EXPECT_EQ(version_of(R"("version": 1e2 )"), "1e2");
  EXPECT_EQ(version_of(R"("version": "beta")"), "beta");
  EXPECT_EQ(version_of(R"("version": "")"), "");
  EXPECT_EQ(version_of(R"("version": null)"), std::nullopt);
  EXPECT_EQ(version_of(R"("latest_version": 3)"), std::nullopt);
}

}  // namespace
}  // namespace tarn
