#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plan_fixture.h"

namespace tarn {
namespace {

using testing::day;
using ::testing::ElementsAre;
using testing::Graph;
using testing::lookahead;
using testing::lookback;
using testing::summary;

const Window march_10{day(2024, 3, 10), day(2024, 3, 10)};

std::string anchor_failure(const Graph& g, const std::string& anchor) {
  auto plan = generate(g.manifest, g.selection, march_10, 90, anchor);
  EXPECT_FALSE(plan);
  if (plan) {
    return {};
  }
  EXPECT_EQ(plan.error().kind, PlanError::Kind::anchor_not_in_selection);
  return plan.error().message();
}

TEST(AnchorMode, WorksAncestorsOutBackwardsAndKeepsTheirWindows) {
  Graph g;
  g.add("raw_events");
  g.add("stg_events", {"raw_events"}, lookback(1));
  TarnMeta fct = lookback(2);
  fct.lookahead = 1;
  g.add("fct_daily", {"stg_events"}, fct);
  g.add("rpt_daily", {"fct_daily"});
  g.add("raw_users");
  g.add("dim_users", {"raw_users"});

  const Plan plan = g.plan(march_10, 90, "fct_daily");

  EXPECT_THAT(summary(plan), ElementsAre("raw_events [2024-03-07 .. 2024-03-11] 0",
                                         "raw_users [2024-03-10 .. 2024-03-10] 0",
                                         "stg_events [2024-03-08 .. 2024-03-11] 1",
                                         "dim_users [2024-03-10 .. 2024-03-10] 1",
                                         "fct_daily [2024-03-10 .. 2024-03-10] 2",
                                         "rpt_daily [2024-03-10 .. 2024-03-10] 3"));
  EXPECT_EQ(plan.anchor_model, "fct_daily");
  EXPECT_EQ(plan.anchor_window, march_10);
}

TEST(AnchorMode, AncestorWithTwoPathConsumersTakesTheUnion) {
  Graph g;
  g.add("top");
  g.add("left", {"top"}, lookback(3));
  g.add("right", {"top"}, lookahead(2));
  g.add("anchor", {"left", "right"});
  EXPECT_THAT(
      summary(g.plan(march_10, 90, "anchor")),
      ElementsAre("top [2024-03-07 .. 2024-03-12] 0", "left [2024-03-10 .. 2024-03-10] 1",
                  "right [2024-03-10 .. 2024-03-10] 1", "anchor [2024-03-10 .. 2024-03-10] 2"));
}

TEST(AnchorMode, ConsumerOverrideWidensOnlyTheNamedAncestor) {
  Graph g;
  g.add("a");
  g.add("b");
  TarnMeta meta = lookahead(1);
  meta.lookahead_overrides["a"] = 5;
  meta.lookback_overrides["model.p.b"] = 9;  // an id, not a name: no effect
  g.add("anchor", {"a", "b"}, meta);
  EXPECT_THAT(summary(g.plan(march_10, 90, "anchor")),
              ElementsAre("a [2024-03-10 .. 2024-03-15] 0", "b [2024-03-10 .. 2024-03-11] 0",
                          "anchor [2024-03-10 .. 2024-03-10] 1"));
}

TEST(AnchorMode, SideChildOfAnAncestorIsPlannedForward) {
  Graph g;
  g.add("a");
  g.add("anchor", {"a"}, lookback(2));
  g.add("side", {"a"}, lookback(30));  // would widen a, were it a path consumer
  EXPECT_THAT(summary(g.plan(march_10, 90, "anchor")),
              ElementsAre("a [2024-03-08 .. 2024-03-10] 0", "anchor [2024-03-10 .. 2024-03-10] 1",
                          "side [2024-02-07 .. 2024-03-10] 1"));
}

TEST(AnchorMode, UnknownAnchorListsSelectedNamesInByteOrder) {
  Graph g;
  g.add("c");
  g.add("a");
  g.add("b");
  g.add_unselected("unselected");
  EXPECT_EQ(anchor_failure(g, "x"),
            "--anchor \"x\" is not among the 3 model(s) selected by --select: a, b, c");
  EXPECT_EQ(anchor_failure(g, "unselected"),
            "--anchor \"unselected\" is not among the 3 model(s) selected by --select: a, b, c");
  EXPECT_THAT(anchor_failure(g, "model.p.a"), ::testing::StartsWith("--anchor \"model.p.a\" is"));
}

TEST(AnchorMode, EmptySelectionRejectsEveryAnchor) {
  Graph g;
  EXPECT_EQ(anchor_failure(g, "a"),
            "--anchor \"a\" is not among the 0 model(s) selected by --select: ");
}

TEST(AnchorMode, SharedNameAnchorsOneOfTheModels) {
  Graph g;
  g.add("x", {}, std::nullopt, true, "model.one.events").name = "events";
  g.add("y", {}, std::nullopt, true, "model.two.events").name = "events";
  g.add("up");
  g.add("z", {"up"}, std::nullopt, true, "model.three.events").name = "events";
  // Any one of them may be the Anchor; the window must land on one, the
  // others keep theirs.
  const Plan plan = g.plan(march_10, 90, "events");
  EXPECT_EQ(plan.models.size(), 4u);
  EXPECT_EQ(plan.anchor_model, "events");
}

}  // namespace
}  // namespace tarn
