#include "output/plan_json.h"

namespace tarn {
std::string render_plan_json(const Plan& plan, const PlanRunInfo& info) {
  return render_plan_json_at(plan, info, 0);
}
std::string render_plan_json_at(const Plan&, const PlanRunInfo&, std::int64_t) {
  return "{}";
}
}  // namespace tarn
