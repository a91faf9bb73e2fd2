// Texts that are not JSON must fail the read even where they hide in values
// the reader skips or takes as plain strings. The cases were found by
// fuzzing against nlohmann::json's reading of the same text. Each is read
// with the skipped values checked on one thread and on two.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.h"
#include "manifest_test_support.h"

namespace tarn {
namespace {

using ::testing::ContainsRegex;

void expect_refused_with_a_position(const std::string& text) {
  SCOPED_TRACE(text);
  auto manifest = parse_manifest(text);
  if (manifest) {
    ADD_FAILURE() << "accepted with " << manifest->nodes.size() << " nodes";
    return;
  }
  EXPECT_THAT(manifest.error(), ContainsRegex(" at line 1 column [0-9]+$"));
}

// Texts whose fault lies inside a node or an unknown top-level member: with
// two threads those go to the helper, which must refuse them as well.
TEST(ManifestRegression, FaultsInsideHandedOverTextAreFoundByTheHelper) {
  const std::string node_start = R"({"nodes":{"model.p.x":{"name":"x","resource_type":"model",)";
  for (const std::string& text : {
           node_start + R"("columns":{"a":{"b":tru}}}}})",
           node_start + R"("columns":{"a":[1,2,]}}}})",
           node_start + R"("raw_code":"\q"}}})",
           node_start + R"("tags":[1e999]}}})",
           node_start + R"("fqn":["a" "b"]}}})",
           std::string(R"({"macros":{"m":{"x":01}}})"),
           std::string(R"({"parent_map":{"a":["b",]}})"),
           std::string(R"({"child_map":[{"a":1}, {"a":1,}]})"),
       }) {
    SCOPED_TRACE(text);
    auto manifest = parse_manifest(text);
    EXPECT_FALSE(manifest.has_value());
  }
}

// A string value followed by ':' and another value, with one '}' too many at
// the end to balance it, used to be accepted.
TEST(ManifestRegression, StringValueFollowedByAColonIsNotJson) {
  for (const std::string text : {
           R"({"a":"b":"c"}})",
           R"({"a":"b":"c","d":1}})",
           R"({"nodes":{},"docs":"b":"c"}})",
           R"({"metadata":{"generated_at":"x":"y"}}})",
           R"({"nodes":{"model.p.x":{"name":"x","resource_type":"model","raw_code":"b":"c"}}}})",
           R"({"nodes":{"model.p.x":{"name":"x","resource_type":"model",)"
           R"("config":{"event_time":"t":"u"}}}}})",
       }) {
    expect_refused_with_a_position(text);
  }
}

// Where null is allowed (metadata, generated_at, event_time, tarn), any token
// that began with 'n' used to pass as null.
TEST(ManifestRegression, BrokenNullLiteralIsNotJson) {
  for (const std::string text : {
           R"({"metadata": n})",
           R"({"metadata": nul})",
           R"({"metadata": nu$l})",
           R"({"metadata": nullx})",
           R"({"metadata": {"generated_at": nuxx}})",
           R"({"nodes":{"model.p.a":{"name":"a","resource_type":"model",)"
           R"("config":{"event_time": nulx}}}})",
           R"({"nodes":{"model.p.a":{"name":"a","resource_type":"model",)"
           R"("config":{"meta": {"tarn": nulx}}}}})",
       }) {
    expect_refused_with_a_position(text);
  }
}

// A number that is valid JSON but lies beyond a double's range, in a key that
// is otherwise skipped, is refused with its position rather than half-read.
TEST(ManifestRegression, NumberBeyondDoubleRangeIsRefused) {
  auto manifest = parse_manifest(R"({"metadata": {"dbt_version": 178608661e3937745}})");
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error(), "number out of range at line 1 column 30");
  EXPECT_TRUE(parse_manifest(R"({"metadata": {"x": 123456789012345678901234567890}})"));
}

}  // namespace
}  // namespace tarn
