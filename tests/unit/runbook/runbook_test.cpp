#include "runbook/runbook.h"

#include <gtest/gtest.h>

#include "date/date.h"

namespace tarn {
namespace {

const auto march = [](unsigned day) { return days_from_civil(2024, 3, day); };

PlannedModel model(std::string name, unsigned start, unsigned end,
                   std::vector<std::string> up = {}) {
  return {std::move(name), march(start), march(end), 0, WindowUnit::day, 0, WindowUnit::day, up};
}

// A model runs in its parent's invocation when their windows are equal, else
// in a later stage: c with stg, d with o'hare $x, view with dim, but late after
// d although its window is stg's.
TEST(Runbook, GroupsStageByStageQuotesEveryWordAndEndsEachWindowTheDayAfter) {
  Plan plan;
  plan.models = {model("stg", 10, 12),           model("o'hare $x", 9, 12, {"stg"}),
                 model("c", 10, 12, {"stg"}),    model("dim", 10, 12, {"stg"}),
                 model("odd", 12, 10, {"stg"}),  model("d", 9, 12, {"o'hare $x", "c"}),
                 model("view", 10, 12, {"dim"}), model("late", 10, 12, {"d"})};
  plan.anchor_window = {march(10), march(12)};
  const auto invocations = group_invocations(plan, {"stg", "o'hare $x", "c", "odd", "d", "late"});
  EXPECT_EQ(render_runbook(plan, invocations,
                           {"stg+", "tag:a b", {"uv", "run", "dbt"}, {"-t", "ci"}, "build", 0}),
            "#!/bin/sh\n"
            "# The dbt commands that rebuild this plan, stage by stage (tarn-dbt-plan).\n"
            "# Made 1970-01-01T00:00:00Z for --select stg+ --exclude 'tag:a b'\n"
            "# Anchor window: 2024-03-10 to 2024-03-12\n"
            "# dbt's --event-time-end is exclusive, so each command ends the day after the\n"
            "# window's last day: exactly the planned days for daily batches, and a cover\n"
            "# of them for hourly, monthly and yearly ones.\n"
            "set -e\n\n"
            "# Stage 0, 3 days: 2024-03-10 to 2024-03-12\n"
            "uv run dbt build --select stg c --event-time-start 2024-03-10 --event-time-end "
            "2024-03-13 -t ci\n\n"
            "# Stage 1, 4 days: 2024-03-09 to 2024-03-12\n"
            "uv run dbt build --select 'o'\\''hare $x' d --event-time-start 2024-03-09 "
            "--event-time-end 2024-03-13 -t ci\n\n"
            "# Stage 1, no command: the window 2024-03-12 to 2024-03-10 ends before it starts "
            "(odd)\n\n"
            "# Stage 1, rebuilt whole (not microbatch models)\n"
            "uv run dbt build --select dim view -t ci\n\n"
            "# Stage 2, 3 days: 2024-03-10 to 2024-03-12\n"
            "uv run dbt build --select late --event-time-start 2024-03-10 --event-time-end "
            "2024-03-13 -t ci\n");
  const auto warnings = runbook_warnings(invocations);
  EXPECT_EQ(warnings.size() == 1 ? warnings[0].model + ": " + warnings[0].message : "",
            "odd: window 2024-03-12 to 2024-03-10 ends before it starts -- the run-book has no "
            "dbt command for it");
}

}  // namespace
}  // namespace tarn
