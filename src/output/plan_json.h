#pragma once
// The plan document: pretty JSON with a fixed member order.

#include <cstdint>
#include <optional>
#include <string>

#include "plan/plan.h"

namespace tarn {

struct PlanRunInfo {
  std::string anchor_selection;
  std::string manifest_path;
  std::string dbt_command;
  std::optional<std::string> manifest_generated_at;
  std::int64_t max_window_expansion_days = 90;
};

/// Reads the clock for "generated_at".
std::string render_plan_json(const Plan& plan, const PlanRunInfo& info);
std::string render_plan_json_at(const Plan& plan, const PlanRunInfo& info,
                                std::int64_t unix_seconds);

}  // namespace tarn
