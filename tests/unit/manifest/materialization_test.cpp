#include <gtest/gtest.h>

#include "manifest/manifest.h"

namespace tarn {
namespace {

TEST(ManifestMaterialization, ReadFromConfigAndAbsentInOlderManifests) {
  auto manifest = parse_manifest(R"({"nodes": {
      "model.p.batched": {"name": "batched", "resource_type": "model",
        "config": {"materialized": "incremental", "incremental_strategy": "microbatch"}},
      "model.p.old": {"name": "old", "resource_type": "model", "config": {}}}})");
  ASSERT_TRUE(manifest) << manifest.error();
  const ManifestNode& batched = manifest->nodes.at("model.p.batched");
  EXPECT_EQ(batched.materialized, "incremental");
  EXPECT_EQ(batched.incremental_strategy, "microbatch");
  const ManifestNode& old = manifest->nodes.at("model.p.old");
  EXPECT_FALSE(old.materialized);
  EXPECT_FALSE(old.incremental_strategy);
}

}  // namespace
}  // namespace tarn
