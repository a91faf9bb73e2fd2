// Texts that are not JSON must fail the read even where they hide in values
// the reader skips or takes as plain strings. The cases were found by
// fuzzing against another JSON reader's verdict on the same text. Each is
// read with the skipped values checked on one thread and on two.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.h"
#include "manifest_test_support.h"

namespace tarn {
namespace {

struct NotJson {
  const char* name;
  std::string text;
};

class ManifestRegression : public ::testing::TestWithParam<NotJson> {};

TEST_P(ManifestRegression, IsRefusedWithAPosition) {
  auto manifest = parse_manifest(GetParam().text);
  ASSERT_FALSE(manifest.has_value()) << "accepted with " << manifest->nodes.size() << " nodes";
  EXPECT_THAT(manifest.error(), ::testing::ContainsRegex(" at line 1 column [0-9]+$"));
}

const std::string node_start = R"({"nodes":{"model.p.x":{"name":"x","resource_type":"model",)";

// Faults inside values the reader skips, inside a node or an unknown
// top-level member: a string value followed by ':' and another value (with
// one '}' too many to balance it), and any token beginning with 'n' where
// null is allowed, are the shapes On-Demand alone would let through.
INSTANTIATE_TEST_SUITE_P(
    Manifest, ManifestRegression,
    ::testing::Values(
        NotJson{"BadLiteralInColumns", node_start + R"("columns":{"a":{"b":tru}}}}})"},
        NotJson{"TrailingCommaInColumns", node_start + R"("columns":{"a":[1,2,]}}}})"},
        NotJson{"BadEscapeInRawCode", node_start + R"("raw_code":"\q"}}})"},
        NotJson{"HugeExponentInTags", node_start + R"("tags":[1e999]}}})"},
        NotJson{"MissingCommaInFqn", node_start + R"("fqn":["a" "b"]}}})"},
        NotJson{"LeadingZeroInMacros", R"({"macros":{"m":{"x":01}}})"},
        NotJson{"TrailingCommaInParentMap", R"({"parent_map":{"a":["b",]}})"},
        NotJson{"TrailingCommaInChildMap", R"({"child_map":[{"a":1}, {"a":1,}]})"},
        NotJson{"ColonAfterTopLevelString", R"({"a":"b":"c"}})"},
        NotJson{"ColonAfterStringThenMember", R"({"a":"b":"c","d":1}})"},
        NotJson{"ColonAfterSkippedString", R"({"nodes":{},"docs":"b":"c"}})"},
        NotJson{"ColonAfterGeneratedAt", R"({"metadata":{"generated_at":"x":"y"}}})"},
        NotJson{"ColonAfterRawCode", node_start + R"("raw_code":"b":"c"}}}})"},
        NotJson{"ColonAfterEventTime", node_start + R"("config":{"event_time":"t":"u"}}}}})"},
        NotJson{"NAsMetadata", R"({"metadata": n})"},
        NotJson{"NulAsMetadata", R"({"metadata": nul})"},
        NotJson{"NuDollarLAsMetadata", R"({"metadata": nu$l})"},
        NotJson{"NullxAsMetadata", R"({"metadata": nullx})"},
        NotJson{"NuxxAsGeneratedAt", R"({"metadata": {"generated_at": nuxx}})"},
        NotJson{"NulxAsEventTime", node_start + R"("config":{"event_time": nulx}}}})"},
        NotJson{"NulxAsTarn", node_start + R"("config":{"meta": {"tarn": nulx}}}}})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ManifestRegressionNumbers, BeyondDoubleRangeIsRefusedOnlyWhereDoublesAreRead) {
  auto manifest = parse_manifest(R"({"metadata": {"dbt_version": 178608661e3937745}})");
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error(), "number out of range at line 1 column 30");
  EXPECT_TRUE(parse_manifest(R"({"metadata": {"x": 123456789012345678901234567890}})"));
}

}  // namespace
}  // namespace tarn
