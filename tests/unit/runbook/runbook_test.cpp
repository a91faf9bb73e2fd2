#include "runbook/runbook.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "date/date.h"

namespace tarn {
namespace {

Date march(unsigned day) {
  return days_from_civil(2024, 3, day);
}

PlannedModel model(std::string name, unsigned start, unsigned end,
                   std::vector<std::string> parents = {}) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.event_time_start = march(start);
  planned.event_time_end = march(end);
  planned.depends_on = std::move(parents);
  return planned;
}

/// An invocation as "stage:start-end:models" (days of March), "whole" for
/// a rebuild without a window.
std::string describe(const Invocation& invocation) {
  std::string text = std::to_string(invocation.stage) + ":";
  if (invocation.window) {
    text += std::to_string(civil_from_days(invocation.window->start).day) + "-" +
            std::to_string(civil_from_days(invocation.window->end).day);
  } else {
    text += "whole";
  }
  for (const std::string& name : invocation.models) {
    text += ":" + name;
  }
  return text;
}

struct GroupingCase {
  const char* name;
  std::vector<PlannedModel> models;  // in planning order
  std::unordered_set<std::string> microbatch;
  std::vector<std::string> expected;
};

class Grouping : public ::testing::TestWithParam<GroupingCase> {};

TEST_P(Grouping, EveryModelRunsAfterItsParentsInAsFewInvocationsAsTheStagesAllow) {
  Plan plan;
  plan.models = GetParam().models;
  std::vector<std::string> got;
  for (const Invocation& invocation : group_invocations(plan, GetParam().microbatch)) {
    got.push_back(describe(invocation));
  }
  EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, Grouping,
    ::testing::Values(
        GroupingCase{"ChainOfEqualWindowsIsOneInvocation",
                     {model("a", 10, 12), model("b", 10, 12, {"a"}), model("c", 10, 12, {"b"})},
                     {"a", "b", "c"},
                     {"0:10-12:a:b:c"}},
        GroupingCase{"ChainOfWideningWindowsIsOneInvocationPerModel",
                     {model("a", 10, 12), model("b", 9, 12, {"a"}), model("c", 8, 12, {"b"})},
                     {"a", "b", "c"},
                     {"0:10-12:a", "1:9-12:b", "2:8-12:c"}},
        // a feeds b (one day back) and c (same window); d joins them. c
        // shares a's invocation and d shares b's, which dbt runs first.
        GroupingCase{"DiamondOfTwoWindowsMeetingAgain",
                     {model("a", 10, 12), model("b", 9, 12, {"a"}), model("c", 10, 12, {"a"}),
                      model("d", 9, 12, {"b", "c"})},
                     {"a", "b", "c", "d"},
                     {"0:10-12:a:c", "1:9-12:b:d"}},
        // The same window again after another window must run later.
        GroupingCase{"EqualWindowsSeparatedByAnotherWindow",
                     {model("a", 10, 12), model("b", 9, 12, {"a"}), model("c", 10, 12, {"b"})},
                     {"a", "b", "c"},
                     {"0:10-12:a", "1:9-12:b", "2:10-12:c"}},
        GroupingCase{"WindowsOfOneStageByDateAndWholeRebuildsLast",
                     {model("late", 11, 12), model("early", 9, 12), model("table", 10, 12),
                      model("view", 10, 12, {"table"}), model("after", 10, 12, {"view"})},
                     {"late", "early", "after"},
                     {"0:9-12:early", "0:11-12:late", "0:whole:table:view", "1:10-12:after"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Runbook, ScriptQuotesEveryWordAndEndsEachWindowTheDayAfter) {
  Plan plan;
  plan.anchor_window = Window{march(10), march(12)};
  plan.models = {model("stg", 10, 12), model("o'hare $x", 9, 12, {"stg"}),
                 model("dim", 10, 12, {"stg"}), model("odd", 12, 10, {"stg"})};
  const RunbookInfo info{"stg+",  "tag:skip me", {"uv", "run", "dbt"}, {"--target", "ci"},
                         "build", 1733011200};
  const auto invocations = group_invocations(plan, {"stg", "o'hare $x", "odd"});
  EXPECT_EQ(render_runbook(plan, invocations, info),
            "#!/bin/sh\n"
            "# The dbt commands that rebuild this plan, stage by stage (tarn-dbt-plan).\n"
            "# Made 2024-12-01T00:00:00Z for --select stg+ --exclude 'tag:skip me'\n"
            "# Anchor window: 2024-03-10 to 2024-03-12\n"
            "# dbt's --event-time-end is exclusive, so each command ends the day after the\n"
            "# window's last day: exactly the planned days for daily batches, and a cover\n"
            "# of them for hourly, monthly and yearly ones.\n"
            "set -e\n"
            "\n"
            "# Stage 0, 3 days: 2024-03-10 to 2024-03-12\n"
            "uv run dbt build --select stg --event-time-start 2024-03-10 --event-time-end "
            "2024-03-13 --target ci\n"
            "\n"
            "# Stage 1, 4 days: 2024-03-09 to 2024-03-12\n"
            "uv run dbt build --select 'o'\\''hare $x' --event-time-start 2024-03-09 "
            "--event-time-end 2024-03-13 --target ci\n"
            "\n"
            "# Stage 1, no command: the window 2024-03-12 to 2024-03-10 ends before it starts "
            "(odd)\n"
            "\n"
            "# Stage 1, rebuilt whole (not microbatch models)\n"
            "uv run dbt build --select dim --target ci\n");
  ASSERT_EQ(runbook_warnings(invocations).size(), 1u);
  EXPECT_EQ(runbook_warnings(invocations)[0].model, "odd");
  EXPECT_EQ(runbook_warnings(invocations)[0].message,
            "window 2024-03-12 to 2024-03-10 ends before it starts -- the run-book has no dbt "
            "command for it");
}

}  // namespace
}  // namespace tarn
