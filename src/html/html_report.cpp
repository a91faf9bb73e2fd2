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

std::string escape_html_text(std::string text) {
  replace_all(text, "&", "&amp;");
  replace_all(text, "<", "&lt;");
  replace_all(text, ">", "&gt;");
  return text;
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

std::string banner(const Plan& plan) {
  if (!plan.default_yesterday) {
    return {};
  }
  const std::string note = plan.default_yesterday_note().value_or("");
  return "<div id=\"default-yesterday-banner\">" + escape_html_text(note) + "</div>";
}

constexpr std::string_view page_start =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<title>tarn-dbt-plan</title>\n"
    "<style>\n";

constexpr std::string_view after_style =
    "\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<div class=\"viz-root\">\n"
    "  ";

constexpr std::string_view after_banner =
    "\n"
    "  <header id=\"toolbar\">\n"
    "    <div class=\"brand\">tarn <span class=\"brand-sub\">dbt-plan</span></div>\n"
    "    <div class=\"search-wrap\">\n"
    "      <svg class=\"search-icon\" viewBox=\"0 0 16 16\" width=\"14\" height=\"14\">\n"
    "        <path fill=\"currentColor\" d=\"M11.2 9.8h-.6l-.2-.2c.8-.9 1.3-2.1 1.3-3.4C11.7 "
    "3.3 9.4 1 6.6 1S1.5 3.3 1.5 6.1s2.3 5.1 5.1 5.1c1.3 0 2.5-.5 3.4-1.3l.2.2v.6l3.4 3.4 "
    "1-1-3.4-3.3zM6.6 9.8c-2 0-3.7-1.7-3.7-3.7S4.6 2.4 6.6 2.4s3.7 1.7 3.7 3.7-1.7 3.7-3.7 "
    "3.7z\"></path>\n"
    "      </svg>\n"
    "      <input id=\"search\" type=\"text\" placeholder=\"Search models\u2026\" "
    "autocomplete=\"off\" aria-label=\"Search models\">\n"
    "    </div>\n"
    "    <div class=\"legend\">\n"
    "      <span class=\"legend-item\"><span class=\"legend-dot\"></span>model</span>\n"
    "    </div>\n"
    "  </header>\n"
    "  <div id=\"main\">\n"
    "    <div id=\"graph-scroll\">\n"
    "      <svg id=\"edges\"></svg>\n"
    "      <div id=\"layers\"></div>\n"
    "    </div>\n"
    "    <div id=\"panel-resize-handle\" title=\"Drag to resize\"></div>\n"
    "    <aside id=\"panel\">\n"
    "      <div id=\"panel-empty\">Select a model to inspect its window and lineage.</div>\n"
    "      <div id=\"panel-content\">\n"
    "        <div class=\"panel-kind\">model</div>\n"
    "        <h2 id=\"panel-title\"></h2>\n"
    "        <div id=\"panel-layer\"></div>\n"
    "        <div id=\"panel-window\"></div>\n"
    "        <div class=\"panel-section-label\">Upstream</div>\n"
    "        <ul id=\"panel-upstream\"></ul>\n"
    "        <div class=\"panel-section-label\">Downstream</div>\n"
    "        <ul id=\"panel-downstream\"></ul>\n"
    "      </div>\n"
    "    </aside>\n"
    "  </div>\n"
    "</div>\n"
    "<script>\n"
    "window.TARN_DBT_PLAN_DATA = ";

constexpr std::string_view after_data = ";\n";

constexpr std::string_view page_end =
    "\n"
    "</script>\n"
    "</body>\n"
    "</html>\n";

}  // namespace

std::filesystem::path html_report_path(const std::filesystem::path& project_dir) {
  return html_report_path_at(project_dir, unix_seconds_now());
}

std::filesystem::path html_report_path_at(const std::filesystem::path& project_dir,
                                          std::int64_t unix_seconds) {
  const std::string stamp = compact_utc_timestamp(std::max<std::int64_t>(unix_seconds, 0));
  return project_dir / "target" / "tarn" / "dbt-plan" / ("dbt_plan_" + stamp + ".html");
}

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

std::string render_html_report(const Plan& plan) {
  const std::string data = escape_for_script_element(render_graph_data(plan));
  const std::string banner_text = banner(plan);
  std::string page;
  page.reserve(page_start.size() + assets::style_css.size() + after_style.size() +
               banner_text.size() + after_banner.size() + data.size() + after_data.size() +
               assets::report_js.size() + page_end.size());
  page += page_start;
  page += assets::style_css;
  page += after_style;
  page += banner_text;
  page += after_banner;
  page += data;
  page += after_data;
  page += assets::report_js;
  page += page_end;
  return page;
}

}  // namespace tarn
