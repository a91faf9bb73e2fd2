#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plan_fixture.h"

namespace tarn {
namespace {

using testing::day;
using ::testing::ElementsAre;
using testing::Graph;
using ::testing::IsEmpty;
using testing::lookahead;
using testing::lookback;
using testing::summary;
using testing::warning_lines;

const Window march_10_to_12{day(2024, 3, 10), day(2024, 3, 12)};
const Window march_10{day(2024, 3, 10), day(2024, 3, 10)};

TEST(Generate, CascadesThroughLayersWithOverridesByParentName) {
  Graph g;
  g.add("stg_events");
  g.add("user_visits", {"stg_events"}, lookback(1));
  TarnMeta weekly = lookback(1, WindowUnit::week);
  weekly.lookahead = 2;
  weekly.lookback_overrides["stg_events"] = 0;
  g.add("weekly_rollup", {"user_visits", "stg_events"}, weekly);
  g.add("monthly", {"weekly_rollup"}, lookback(1, WindowUnit::month));

  const Plan plan = g.plan(march_10_to_12, 30);

  EXPECT_THAT(summary(plan), ElementsAre("stg_events [2024-03-10 .. 2024-03-12] 0",
                                         "user_visits [2024-03-09 .. 2024-03-12] 1",
                                         "weekly_rollup [2024-03-02 .. 2024-03-14] 2",
                                         "monthly [2024-02-02 .. 2024-03-14] 3"));
  EXPECT_THAT(warning_lines(plan),
              ElementsAre("monthly: expanded window (42 days) exceeds max_window_expansion_days "
                          "(30)"));
  const PlannedModel& rollup = plan.models[2];
  EXPECT_EQ(rollup.lookback, 1);
  EXPECT_EQ(rollup.lookback_unit, WindowUnit::week);
  EXPECT_EQ(rollup.lookahead, 2);
  EXPECT_EQ(rollup.lookahead_unit, WindowUnit::day);
  EXPECT_THAT(rollup.depends_on, ElementsAre("user_visits", "stg_events"));
  EXPECT_THAT(plan.models[0].depends_on, IsEmpty());
  EXPECT_FALSE(plan.default_yesterday);
  EXPECT_FALSE(plan.default_yesterday_note());
  EXPECT_FALSE(plan.anchor_model);
  EXPECT_EQ(plan.anchor_window, march_10_to_12);
}

TEST(Generate, DefaultsEntryNodesToYesterdayWithNote) {
  Graph g;
  g.add("only");
  auto plan = generate(g.manifest, g.selection, std::nullopt, 90, std::nullopt);
  ASSERT_TRUE(plan);
  const Date yesterday_date = yesterday();
  EXPECT_TRUE(plan->default_yesterday);
  EXPECT_EQ(plan->anchor_window, (Window{yesterday_date, yesterday_date}));
  EXPECT_EQ(plan->models.at(0).event_time_start, yesterday_date);
  EXPECT_EQ(plan->models.at(0).event_time_end, yesterday_date);
  EXPECT_EQ(plan->default_yesterday_note(),
            "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (" +
                format_date(yesterday_date) + ")");
}

TEST(Generate, PlansInReadinessOrderWithBatchesSortedById) {
  Graph g;
  g.add("z");
  g.add("b", {"a", "z"});
  g.add("c", {"a"});
  g.add("a");
  g.add("ab");
  EXPECT_THAT(summary(g.plan(march_10)),
              ElementsAre("a [2024-03-10 .. 2024-03-10] 0", "ab [2024-03-10 .. 2024-03-10] 0",
                          "z [2024-03-10 .. 2024-03-10] 0", "c [2024-03-10 .. 2024-03-10] 1",
                          "b [2024-03-10 .. 2024-03-10] 1"));
}

TEST(Generate, IgnoresParentsOutsideTheSelection) {
  Graph g;
  g.add_unselected("upstream");
  g.add("child", {"upstream", "source.p.raw.events", "model.p.not_in_manifest"}, lookback(5));
  const Plan plan = g.plan(march_10);
  EXPECT_THAT(summary(plan), ElementsAre("child [2024-03-10 .. 2024-03-10] 0"));
  EXPECT_THAT(plan.models[0].depends_on, IsEmpty());
}

TEST(Generate, OverridesApplyByParentNameNeverById) {
  Graph g;
  g.add("a");
  g.add("b");
  TarnMeta meta = lookback(10);
  meta.lookahead = 10;
  meta.lookback_overrides["model.p.a"] = 0;  // an id: no effect
  meta.lookahead_overrides["b"] = 1;
  meta.lookahead_overrides["not_a_parent"] = 0;
  g.add("c", {"a", "b"}, meta);
  // Through a: 10 back, 10 ahead. Through b: 10 back, 1 ahead.
  EXPECT_THAT(summary(g.plan(march_10)).back(), "c [2024-02-29 .. 2024-03-20] 1");

  meta.lookahead_overrides["a"] = -5;
  g.add("c", {"a", "b"}, meta);
  EXPECT_THAT(summary(g.plan(march_10)).back(), "c [2024-02-29 .. 2024-03-11] 1");
}

TEST(Generate, NegativeAmountsAndInvertedWindowsPassThrough) {
  Graph g;
  g.add("a");
  TarnMeta meta = lookback(-3);
  meta.lookahead = -4;
  g.add("b", {"a"}, meta);
  const Window inverted{day(2024, 3, 12), day(2024, 3, 10)};
  const Plan plan = g.plan(inverted, 1);
  EXPECT_THAT(summary(plan),
              ElementsAre("a [2024-03-12 .. 2024-03-10] 0", "b [2024-03-15 .. 2024-03-06] 1"));
  EXPECT_THAT(warning_lines(plan), IsEmpty());
  EXPECT_EQ(plan.anchor_window, inverted);
}

TEST(Generate, MonthsAndYearsMoveByCalendarWithClamping) {
  Graph g;
  g.add("a");
  TarnMeta months = lookback(1, WindowUnit::month);
  months.lookahead = 1;
  months.lookahead_unit = WindowUnit::month;
  g.add("by_month", {"a"}, months);
  TarnMeta years = lookback(4, WindowUnit::year);
  years.lookahead = 1;
  years.lookahead_unit = WindowUnit::year;
  g.add("by_year", {"a"}, years);
  g.add("by_week", {"a"}, lookahead(2, WindowUnit::week));
  const Plan plan = g.plan({day(2024, 3, 31), day(2024, 2, 29)}, 100000);
  EXPECT_THAT(
      summary(plan),
      ElementsAre("a [2024-03-31 .. 2024-02-29] 0", "by_month [2024-02-29 .. 2024-03-29] 1",
                  "by_week [2024-03-31 .. 2024-03-14] 1", "by_year [2020-03-31 .. 2025-02-28] 1"));
}

TEST(Generate, WarnsOnlyAboveTheExpansionLimit) {
  Graph g;
  g.add("a");
  g.add("b", {"a"}, lookback(1));
  const Plan plan = g.plan({day(2024, 1, 1), day(2024, 3, 30)}, 90);  // a: 90 days, b: 91
  EXPECT_THAT(warning_lines(plan),
              ElementsAre("b: expanded window (91 days) exceeds max_window_expansion_days (90)"));
}

TEST(Generate, LimitOfZeroOrBelowWarnsEveryModel) {
  Graph g;
  g.add("a");
  g.add("b", {"a"}, lookback(-1));  // an empty window: 0 days
  EXPECT_THAT(warning_lines(g.plan(march_10, 0)),
              ElementsAre("a: expanded window (1 days) exceeds max_window_expansion_days (0)"));
  EXPECT_THAT(warning_lines(g.plan(march_10, -1)),
              ElementsAre("a: expanded window (1 days) exceeds max_window_expansion_days (-1)",
                          "b: expanded window (0 days) exceeds max_window_expansion_days (-1)"));
}

TEST(Generate, MetaWithoutEventTimeWarnsAfterExpansionAndStillWidens) {
  Graph g;
  g.add("a");
  g.add("no_event_time", {"a"}, lookback(40), false);
  g.add("empty_meta", {"a"}, TarnMeta{}, false);
  g.add("plain", {"a"}, std::nullopt, true);
  g.add("no_meta_no_event_time", {"a"}, std::nullopt, false);
  const Plan plan = g.plan(march_10, 30);
  const std::string meta_warning =
      "declares config.meta.tarn (lookback/lookahead) but has no event_time configured -- this "
      "isn't a microbatch model in dbt's own terms, so this config has no real effect";
  EXPECT_THAT(warning_lines(plan), ElementsAre("empty_meta: " + meta_warning,
                                               "no_event_time: expanded window (41 days) exceeds "
                                               "max_window_expansion_days (30)",
                                               "no_event_time: " + meta_warning));
  EXPECT_EQ(summary(plan)[2], "no_event_time [2024-01-30 .. 2024-03-10] 1");
}

TEST(Generate, CycleIsReportedBeforeTheAnchorIsLookedAt) {
  const std::string cycle_message =
      "the selected models form a cycle and have no Entry Node -- this shouldn't be possible "
      "against a real dbt-compiled manifest; check that --manifest points at a genuine `dbt "
      "compile`/`dbt parse` output";
  Graph g;
  g.add("root");
  g.add("x", {"root", "y"});
  g.add("y", {"x"});
  for (const auto& anchor : {std::optional<std::string>(), std::optional<std::string>("nope")}) {
    auto plan = generate(g.manifest, g.selection, march_10, 90, anchor);
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error().kind, PlanError::Kind::cycle);
    EXPECT_EQ(plan.error().message(), cycle_message);
  }
}

TEST(Generate, ModelsSharingANamePlanSeparately) {
  Graph g;
  g.add("a", {}, std::nullopt, true, "model.one.events").name = "events";
  g.add("b", {}, std::nullopt, true, "model.two.events").name = "events";
  TarnMeta meta = lookback(1);
  meta.lookback_overrides["events"] = 5;
  g.add("c", {"model.two.events", "model.one.events"}, meta);
  const Plan plan = g.plan(march_10);
  EXPECT_THAT(summary(plan),
              ElementsAre("events [2024-03-10 .. 2024-03-10] 0",
                          "events [2024-03-10 .. 2024-03-10] 0", "c [2024-03-05 .. 2024-03-10] 1"));
  EXPECT_THAT(plan.models[2].depends_on, ElementsAre("events", "events"));
}

TEST(Generate, KeepsRepeatedParentsAsTheManifestLists) {
  Graph g;
  g.add("a");
  g.add("b", {"a", "a"});
  const Plan plan = g.plan(march_10);
  EXPECT_THAT(plan.models[1].depends_on, ElementsAre("a", "a"));
  EXPECT_EQ(plan.models[1].layer, 1u);
}

}  // namespace
}  // namespace tarn
