#include "html/html_report.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "date/date.h"
#include "html/assets.h"
#include "output/json_writer.h"

namespace tarn {
namespace {

void write_node(JsonWriter& out, const PlannedModel& model) {
  out.begin_object();
  out.member("name", model.name);
  out.member("layer", model.layer);
  out.member("event_time_start", format_date(model.event_time_start));
  out.member("event_time_end", format_date(model.event_time_end));
  out.member("depends_on", model.depends_on);
  out.member("lookback", model.lookback);
  out.member("lookback_unit", unit_name(model.lookback_unit));
  out.member("lookahead", model.lookahead);
  out.member("lookahead_unit", unit_name(model.lookahead_unit));
  out.end_object();
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

/// The data sits inside a script element, where a name holding "</script>" or
/// "<!--" would end the element early. In serialised JSON these three
/// characters occur only inside strings, so their \u escapes mean the same data.
std::string escape_for_script_element(std::string json) {
  replace_all(json, "&", "\\u0026");
  replace_all(json, "<", "\\u003c");
  replace_all(json, ">", "\\u003e");
  return json;
}

/// The compact graph data embedded in the page.
std::string render_graph_data(const Plan& plan) {
  // Room for a small plan; a larger one grows the text as it goes.
  JsonWriter out(JsonWriter::Layout::compact, 4096);
  out.begin_object();
  out.key("nodes");
  out.begin_array();
  for (const PlannedModel& model : plan.models) {
    write_node(out, model);
  }
  out.end_array();
  out.key("edges");
  out.begin_array();
  for (const PlannedModel& model : plan.models) {
    for (const std::string& parent : model.depends_on) {
      out.begin_object();
      out.member("upstream", parent);
      out.member("downstream", model.name);
      out.end_object();
    }
  }
  out.end_array();
  out.end_object();
  return std::move(out).take();
}

/// The page, each @name@ standing for the part of that name.
constexpr std::string_view page_template = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>tarn-dbt-plan</title>
<style>
@style@
</style>
</head>
<body>
<div class="viz-root">
  @banner@
  <header id="toolbar">
    <div class="brand">tarn <span class="brand-sub">dbt-plan</span></div>
    <div class="search-wrap">
      <svg class="search-icon" viewBox="0 0 16 16" width="14" height="14">
        <path fill="currentColor" d="M11.2 9.8h-.6l-.2-.2c.8-.9 1.3-2.1 1.3-3.4C11.7 3.3 9.4 1 6.6 1S1.5 3.3 1.5 6.1s2.3 5.1 5.1 5.1c1.3 0 2.5-.5 3.4-1.3l.2.2v.6l3.4 3.4 1-1-3.4-3.3zM6.6 9.8c-2 0-3.7-1.7-3.7-3.7S4.6 2.4 6.6 2.4s3.7 1.7 3.7 3.7-1.7 3.7-3.7 3.7z"></path>
      </svg>
      <input id="search" type="text" placeholder="Search models…" autocomplete="off" aria-label="Search models">
    </div>
    <div class="legend">
      <span class="legend-item"><span class="legend-dot"></span>model</span>
    </div>
  </header>
  <div id="main">
    <div id="graph-scroll">
      <svg id="edges"></svg>
      <div id="layers"></div>
    </div>
    <div id="panel-resize-handle" title="Drag to resize"></div>
    <aside id="panel">
      <div id="panel-empty">Select a model to inspect its window and lineage.</div>
      <div id="panel-content">
        <div class="panel-kind">model</div>
        <h2 id="panel-title"></h2>
        <div id="panel-layer"></div>
        <div id="panel-window"></div>
        <div class="panel-section-label">Upstream</div>
        <ul id="panel-upstream"></ul>
        <div class="panel-section-label">Downstream</div>
        <ul id="panel-downstream"></ul>
      </div>
    </aside>
  </div>
</div>
<script>
window.TARN_DBT_PLAN_DATA = @data@;
@script@
</script>
</body>
</html>
)";

}  // namespace

std::filesystem::path html_report_path(const std::filesystem::path& project_dir) {
  const std::string stamp = compact_utc_timestamp(std::max<std::int64_t>(unix_seconds_now(), 0));
  return project_dir / "target" / "tarn" / "dbt-plan" / ("dbt_plan_" + stamp + ".html");
}

std::string render_html_report(const Plan& plan) {
  const std::string data = escape_for_script_element(render_graph_data(plan));
  const auto note = plan.default_yesterday_note();
  const std::string banner = note ? "<div id=\"default-yesterday-banner\">" + *note + "</div>" : "";
  std::string page;
  std::string_view rest = page_template;
  for (const std::string_view part :
       {assets::style_css, std::string_view(banner), std::string_view(data), assets::report_js}) {
    const std::size_t name_start = rest.find('@');
    page.append(rest.substr(0, name_start)).append(part);
    rest.remove_prefix(rest.find('@', name_start + 1) + 1);
  }
  page += rest;
  return page;
}

}  // namespace tarn
