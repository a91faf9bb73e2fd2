#pragma once
// Builds small manifests and selections in memory for planner tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "date/date.h"
#include "manifest/manifest.h"
#include "plan/plan.h"

namespace tarn::testing {

inline Date day(std::int64_t year, unsigned month, unsigned day_of_month) {
  return days_from_civil(year, month, day_of_month);
}

inline std::string model_id(const std::string& name) {
  return "model.p." + name;
}

struct Graph {
  Manifest manifest;
  Selection selection;

  /// Adds a model and selects it. Parents are names (model.p.<name>) or
  /// whole ids; the id defaults to model.p.<name>.
  ManifestNode& add(const std::string& name, const std::vector<std::string>& parents = {},
                    const std::optional<TarnMeta>& meta = std::nullopt, bool has_event_time = true,
                    const std::string& id = {}) {
    ManifestNode& node = add_unselected(name, parents, meta, has_event_time, id);
    selection.insert(node.id);
    return node;
  }

  ManifestNode& add_unselected(const std::string& name,
                               const std::vector<std::string>& parents = {},
                               const std::optional<TarnMeta>& meta = std::nullopt,
                               bool has_event_time = true, const std::string& id = {}) {
    ManifestNode node;
    node.id = id.empty() ? model_id(name) : id;
    node.name = name;
    for (const std::string& parent : parents) {
      node.depends_on.push_back(parent.starts_with("source.") || parent.starts_with("model.")
                                    ? parent
                                    : model_id(parent));
    }
    if (has_event_time) {
      node.event_time = "event_at";
    }
    node.meta = meta;
    const std::string key = node.id;
    return manifest.nodes.insert_or_assign(key, std::move(node)).first->second;
  }

  Plan plan(Window window, std::int64_t limit = 90,
            const std::optional<std::string>& anchor = std::nullopt) const {
    auto result = generate(manifest, selection, window, limit, anchor);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result.value_or(Plan{});
  }
};

inline TarnMeta lookback(std::int64_t amount, WindowUnit unit = WindowUnit::day) {
  TarnMeta meta;
  meta.lookback = amount;
  meta.lookback_unit = unit;
  return meta;
}

inline TarnMeta lookahead(std::int64_t amount, WindowUnit unit = WindowUnit::day) {
  TarnMeta meta;
  meta.lookahead = amount;
  meta.lookahead_unit = unit;
  return meta;
}

/// "name [start .. end] layer" for compact comparison of whole plans.
inline std::vector<std::string> summary(const Plan& plan) {
  std::vector<std::string> lines;
  for (const PlannedModel& model : plan.models) {
    lines.push_back(model.name + " [" + format_date(model.event_time_start) + " .. " +
                    format_date(model.event_time_end) + "] " + std::to_string(model.layer));
  }
  return lines;
}

inline std::vector<std::string> warning_lines(const Plan& plan) {
  std::vector<std::string> lines;
  for (const PlanWarning& warning : plan.warnings) {
    lines.push_back(warning.model + ": " + warning.message);
  }
  return lines;
}

}  // namespace tarn::testing
