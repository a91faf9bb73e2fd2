#pragma once
// The cascading window planner: orders the selected models, places the Anchor
// window on the Entry Nodes (or, in anchor mode, on one model and its
// ancestors worked out backwards) and widens windows downstream.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "date/date.h"
#include "manifest/manifest.h"

namespace tarn {

struct Window {
  Date start;
  Date end;
  friend auto operator<=>(const Window&, const Window&) = default;
};

struct PlannedModel {
  std::string name;
  Date event_time_start;
  Date event_time_end;
  std::int64_t lookback = 0;
  WindowUnit lookback_unit = WindowUnit::day;
  std::int64_t lookahead = 0;
  WindowUnit lookahead_unit = WindowUnit::day;
  std::vector<std::string> depends_on;  // names of the selected parents
  std::uint64_t layer = 0;
};

struct PlanWarning {
  std::string model;
  std::string message;
};

struct Plan {
  std::vector<PlannedModel> models;
  std::vector<PlanWarning> warnings;
  std::optional<std::string> anchor_model;
  Window anchor_window;
  bool default_yesterday = false;

  std::optional<std::string> default_yesterday_note() const;
};

/// The plan, or why there is none: a cycle, or an --anchor that names no one selected model.
std::expected<Plan, std::string> generate(const Manifest& manifest, const Selection& selection,
                                          std::optional<Window> explicit_window,
                                          std::int64_t max_window_expansion_days,
                                          const std::optional<std::string>& anchor);

}  // namespace tarn
