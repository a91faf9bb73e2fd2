#include "output/plan_json.h"

#include <algorithm>

#include "date/date.h"
#include "output/json_writer.h"

namespace tarn {
namespace {

void write_metadata(JsonWriter& out, const Plan& plan, const PlanRunInfo& info,
                    std::int64_t unix_seconds) {
  out.key("metadata");
  out.begin_object();
  out.member("generated_at", format_utc_timestamp(std::max<std::int64_t>(unix_seconds, 0)));
  out.member("anchor_selection", info.anchor_selection);
  if (plan.anchor_model) {
    out.member("anchor_model", *plan.anchor_model);
  }
  out.key("anchor_window");
  out.begin_object();
  out.member("event_time_start", format_date(plan.anchor_window.start));
  out.member("event_time_end", format_date(plan.anchor_window.end));
  out.member("source", plan.default_yesterday ? "default_yesterday" : "explicit");
  if (auto note = plan.default_yesterday_note()) {
    out.member("note", *note);
  }
  out.end_object();
  out.member("manifest_path", info.manifest_path);
  if (info.manifest_generated_at) {
    out.member("manifest_generated_at", *info.manifest_generated_at);
  }
  out.member("dbt_command", info.dbt_command);
  out.member("max_window_expansion_days", info.max_window_expansion_days);
  out.key("warnings");
  out.begin_array();
  for (const PlanWarning& warning : plan.warnings) {
    out.begin_object();
    out.member("model", warning.model);
    out.member("message", warning.message);
    out.end_object();
  }
  out.end_array();
  out.end_object();
}

void write_model(JsonWriter& out, const PlannedModel& model) {
  out.begin_object();
  out.member("name", model.name);
  out.member("event_time_start", format_date(model.event_time_start));
  out.member("event_time_end", format_date(model.event_time_end));
  out.member("lookback", model.lookback);
  out.member("lookback_unit", unit_name(model.lookback_unit));
  out.member("lookahead", model.lookahead);
  out.member("lookahead_unit", unit_name(model.lookahead_unit));
  out.member("depends_on", model.depends_on);
  out.member("layer", model.layer);
  out.end_object();
}

}  // namespace

std::string render_plan_json(const Plan& plan, const PlanRunInfo& info) {
  return render_plan_json_at(plan, info, unix_seconds_now());
}

std::string render_plan_json_at(const Plan& plan, const PlanRunInfo& info,
                                std::int64_t unix_seconds) {
  // Room for about 320 bytes a model up front, so that the text rarely grows.
  JsonWriter out(JsonWriter::Layout::pretty,
                 4096 + 320 * plan.models.size() + 256 * plan.warnings.size());
  out.begin_object();
  write_metadata(out, plan, info, unix_seconds);
  out.key("models");
  out.begin_array();
  for (const PlannedModel& model : plan.models) {
    write_model(out, model);
  }
  out.end_array();
  out.end_object();
  return std::move(out).take();
}

}  // namespace tarn
