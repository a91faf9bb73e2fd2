#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plan/plan.h"

namespace tarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> order_of(const ParentsMap& parents) {
  auto order = topological_order(parents);
  EXPECT_TRUE(order.has_value());
  return order.value_or(std::vector<std::string>{});
}

bool is_cycle(const ParentsMap& parents) {
  auto order = topological_order(parents);
  return !order && order.error().kind == PlanError::Kind::cycle;
}

TEST(TopologicalOrder, QueuesByReadinessNotByName) {
  // b waits for z, so c (ready after a alone) comes before it.
  const ParentsMap parents{{"model.p.a", {}},
                           {"model.p.z", {}},
                           {"model.p.c", {"model.p.a"}},
                           {"model.p.b", {"model.p.a", "model.p.z"}}};
  EXPECT_THAT(order_of(parents), ElementsAre("model.p.a", "model.p.z", "model.p.c", "model.p.b"));
}

TEST(TopologicalOrder, SortsEachReadyBatchByBytes) {
  const ParentsMap parents{
      {"model.p.b", {}}, {"model.p.ab", {}},           {"model.p.a", {}},
      {"model.p.B", {}}, {"model.p.y", {"model.p.b"}}, {"model.p.x", {"model.p.b"}}};
  // Upper case sorts before lower case; a proper prefix before its extensions.
  EXPECT_THAT(order_of(parents), ElementsAre("model.p.B", "model.p.a", "model.p.ab", "model.p.b",
                                             "model.p.x", "model.p.y"));
}

TEST(TopologicalOrder, ComparesBytesAsUnsigned) {
  const ParentsMap parents{{"model.p.\xc3\xa9", {}}, {"model.p.z", {}}};
  EXPECT_THAT(order_of(parents), ElementsAre("model.p.z", "model.p.\xc3\xa9"));
}

TEST(TopologicalOrder, RepeatedParentStillReleasesChildOnce) {
  const ParentsMap parents{{"a", {}}, {"b", {"a", "a"}}, {"c", {"b"}}};
  EXPECT_THAT(order_of(parents), ElementsAre("a", "b", "c"));
}

TEST(TopologicalOrder, EmptyMapGivesEmptyOrder) {
  EXPECT_THAT(order_of({}), IsEmpty());
}

TEST(TopologicalOrder, ReportsCycles) {
  EXPECT_TRUE(is_cycle({{"a", {"b"}}, {"b", {"a"}}}));
  EXPECT_TRUE(is_cycle({{"a", {"a"}}}));
  // A cycle below an Entry Node is still a cycle.
  EXPECT_TRUE(is_cycle({{"root", {}}, {"x", {"root", "y"}}, {"y", {"x"}}}));
  // A parent that is not a key can never be taken.
  EXPECT_TRUE(is_cycle({{"a", {}}, {"b", {"missing"}}}));
}

}  // namespace
}  // namespace tarn
