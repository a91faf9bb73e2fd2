// The plan document is a function of the graph, not of the order in which
// hash maps happen to hold it: the same manifest and selection, inserted in
// other orders into maps of other bucket counts, give the same bytes.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "output/plan_json.h"
#include "output/tree.h"
#include "plan/plan.h"
#include "unit/support/random_graph.h"

namespace tarn {
namespace {

constexpr std::int64_t kInstant = 1'733'400'000;

std::string document_of(const Manifest& manifest, const Selection& selection, Window window,
                        const std::optional<std::string>& anchor) {
  auto plan = generate(manifest, selection, window, 30, anchor);
  EXPECT_TRUE(plan.has_value()) << plan.error().message();
  if (!plan) {
    return {};
  }
  const PlanRunInfo info{"tag:nightly+", "./target/manifest.json", "dbt", "2024-05-01T00:00:00Z",
                         30};
  return render_plan_json_at(*plan, info, kInstant) + render_tree(*plan);
}

TEST(PlanDocumentOrder, BytesDoNotDependOnMapInsertionOrderOrBucketCount) {
  testing::GraphShape shape = testing::with_amounts(-3, 12);
  shape.shared_names = true;
  for (std::uint64_t seed = 0; seed < 2000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const testing::RandomGraph graph = testing::random_graph(rng, shape);
    const Window window{Date{19'800}, Date{19'800 + static_cast<std::int64_t>(seed % 50)}};
    std::optional<std::string> anchor;
    if (seed % 3 == 0 && !graph.selection.empty()) {
      anchor = graph.manifest.nodes.at(*graph.selection.begin()).name;
    }
    const std::string expected = document_of(graph.manifest, graph.selection, window, anchor);
    for (int round = 0; round < 3; ++round) {
      const Manifest manifest = testing::reshuffled(graph.manifest, rng);
      const Selection selection = testing::reshuffled(graph.selection, rng);
      ASSERT_EQ(document_of(manifest, selection, window, anchor), expected);
      ASSERT_EQ(document_of(graph.manifest, selection, window, anchor), expected);
    }
  }
}

}  // namespace
}  // namespace tarn
