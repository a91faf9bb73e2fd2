#include "output/plan_json.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "date/date.h"

namespace tarn {

namespace {

using Json = nlohmann::ordered_json;

Json anchor_window_json(const Plan& plan) {
  Json window;
  window["event_time_start"] = format_date(plan.anchor_window.start);
  window["event_time_end"] = format_date(plan.anchor_window.end);
  window["source"] = plan.default_yesterday ? "default_yesterday" : "explicit";
  if (auto note = plan.default_yesterday_note()) {
    window["note"] = std::move(*note);
  }
  return window;
}

Json warnings_json(const Plan& plan) {
  Json warnings = Json::array();
  for (const PlanWarning& warning : plan.warnings) {
    Json entry;
    entry["model"] = warning.model;
    entry["message"] = warning.message;
    warnings.push_back(std::move(entry));
  }
  return warnings;
}

Json metadata_json(const Plan& plan, const PlanRunInfo& info, std::int64_t unix_seconds) {
  Json metadata;
  metadata["generated_at"] = format_utc_timestamp(std::max<std::int64_t>(unix_seconds, 0));
  metadata["anchor_selection"] = info.anchor_selection;
  if (plan.anchor_model) {
    metadata["anchor_model"] = *plan.anchor_model;
  }
  metadata["anchor_window"] = anchor_window_json(plan);
  metadata["manifest_path"] = info.manifest_path;
  if (info.manifest_generated_at) {
    metadata["manifest_generated_at"] = *info.manifest_generated_at;
  }
  metadata["dbt_command"] = info.dbt_command;
  metadata["max_window_expansion_days"] = info.max_window_expansion_days;
  metadata["warnings"] = warnings_json(plan);
  return metadata;
}

Json model_json(const PlannedModel& model) {
  Json entry;
  entry["name"] = model.name;
  entry["event_time_start"] = format_date(model.event_time_start);
  entry["event_time_end"] = format_date(model.event_time_end);
  entry["lookback"] = model.lookback;
  entry["lookback_unit"] = unit_name(model.lookback_unit);
  entry["lookahead"] = model.lookahead;
  entry["lookahead_unit"] = unit_name(model.lookahead_unit);
  entry["depends_on"] = Json::array();
  for (const std::string& parent : model.depends_on) {
    entry["depends_on"].push_back(parent);
  }
  entry["layer"] = model.layer;
  return entry;
}

}  // namespace

std::string render_plan_json(const Plan& plan, const PlanRunInfo& info) {
  return render_plan_json_at(plan, info, unix_seconds_now());
}

std::string render_plan_json_at(const Plan& plan, const PlanRunInfo& info,
                                std::int64_t unix_seconds) {
  Json document;
  document["metadata"] = metadata_json(plan, info, unix_seconds);
  document["models"] = Json::array();
  for (const PlannedModel& model : plan.models) {
    document["models"].push_back(model_json(model));
  }
  // Invalid UTF-8 in a name becomes U+FFFD instead of an exception.
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tarn
