// Texts that are not JSON must fail the read even where they hide in values
// the reader skips or takes as plain strings. Both cases were found by
// fuzzing against nlohmann::json's reading of the same text.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.h"

namespace tarn {
namespace {

using ::testing::ContainsRegex;

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
    SCOPED_TRACE(text);
    auto manifest = parse_manifest(text);
    if (manifest) {
      ADD_FAILURE() << "accepted with " << manifest->nodes.size() << " nodes";
      continue;
    }
    EXPECT_THAT(manifest.error(), ContainsRegex(" at line 1 column [0-9]+$"));
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
    SCOPED_TRACE(text);
    auto manifest = parse_manifest(text);
    if (manifest) {
      ADD_FAILURE() << "accepted with " << manifest->nodes.size() << " nodes";
      continue;
    }
    EXPECT_THAT(manifest.error(), ContainsRegex(" at line 1 column [0-9]+$"));
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
