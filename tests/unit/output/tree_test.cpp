#include <gtest/gtest.h>

#include "date/date.h"
#include "output/tree.h"

namespace tarn {
namespace {

PlannedModel model(std::string name, std::uint64_t layer, Date start, Date end) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.layer = layer;
  planned.event_time_start = start;
  planned.event_time_end = end;
  return planned;
}

TEST(Tree, OneLinePerModelIndentedTwoSpacesPerLayerInPlanOrder) {
  const Date start = days_from_civil(2026, 11, 1);
  const Date end = days_from_civil(2026, 11, 30);
  const Date single = days_from_civil(2026, 12, 4);
  Plan plan;
  plan.models = {model("stg_events", 0, single, single), model("zeta", 1, start, end),
                 model("alpha", 1, start, end), model("fct orders \xc3\xa9", 2, start, end),
                 model("deep", 10, end, start)};
  EXPECT_EQ(render_tree(plan),
            "[layer 0] stg_events [2026-12-04 .. 2026-12-04]\n"
            "  [layer 1] zeta [2026-11-01 .. 2026-11-30]\n"
            "  [layer 1] alpha [2026-11-01 .. 2026-11-30]\n"
            "    [layer 2] fct orders \xc3\xa9 [2026-11-01 .. 2026-11-30]\n"
            "                    [layer 10] deep [2026-11-30 .. 2026-11-01]\n");
}

}  // namespace
}  // namespace tarn
