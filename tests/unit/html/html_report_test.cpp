#include "html/html_report.h"
#include "html/assets.h"

#include <regex>
#include <string>
#include <string_view>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tarn {
namespace {

constexpr Date dec_4_2026{20791};
constexpr std::int64_t dec_5_2026_140307 = 1796479387;

PlannedModel model(std::string name, std::uint64_t layer, std::vector<std::string> parents = {}) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.layer = layer;
  planned.event_time_start = dec_4_2026;
  planned.event_time_end = dec_4_2026;
  planned.depends_on = std::move(parents);
  return planned;
}

Plan a_b_plan() {
  Plan plan;
  plan.models = {model("A", 0), model("B", 1, {"A"})};
  plan.anchor_window = {dec_4_2026, dec_4_2026};
  return plan;
}

// The page with its four insertion points written as @STYLE@, @BANNER@,
// @DATA@ and @SCRIPT@.
constexpr std::string_view skeleton = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>tarn-dbt-plan</title>
<style>
@STYLE@
</style>
</head>
<body>
<div class="viz-root">
  @BANNER@
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
window.TARN_DBT_PLAN_DATA = @DATA@;
@SCRIPT@
</script>
</body>
</html>
)";

std::string expected_page(std::string_view banner, std::string_view data) {
  std::string page(skeleton);
  const auto fill = [&page](std::string_view mark, std::string_view text) {
    page.replace(page.find(mark), mark.size(), text);
  };
  fill("@STYLE@", assets::style_css);
  fill("@BANNER@", banner);
  fill("@DATA@", data);
  fill("@SCRIPT@", assets::report_js);
  return page;
}

std::string embedded_data(const std::string& page) {
  const std::string start = "window.TARN_DBT_PLAN_DATA = ";
  const std::size_t from = page.find(start) + start.size();
  return page.substr(from, page.find(";\n", from) - from);
}

TEST(HtmlReportPath, JoinsTheCompactUtcTimestampUnderTheProjectTarget) {
  EXPECT_EQ(html_report_path_at("proj", dec_5_2026_140307).generic_string(),
            "proj/target/tarn/dbt-plan/dbt_plan_20261205140307.html");
  EXPECT_EQ(html_report_path_at(".", dec_5_2026_140307).generic_string(),
            "./target/tarn/dbt-plan/dbt_plan_20261205140307.html");
}

TEST(HtmlReportPath, ClockBeforeTheEpochCountsAsTheEpoch) {
  EXPECT_EQ(html_report_path_at("p", -1).filename(), "dbt_plan_19700101000000.html");
  EXPECT_EQ(html_report_path_at("p", 0).filename(), "dbt_plan_19700101000000.html");
}

TEST(HtmlReportPath, ReadsTheClock) {
  const std::string name = html_report_path("p").filename().string();
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(dbt_plan_20\d{12}\.html)"))) << name;
}

TEST(GraphData, ParentAndChildGiveTheDocumentedBytes) {
  Plan plan = a_b_plan();
  plan.models[1].lookback = 3;
  plan.models[1].lookahead = 1;
  plan.models[1].lookahead_unit = WindowUnit::month;
  EXPECT_EQ(render_graph_data(plan),
            R"({"nodes":[{"name":"A","layer":0,"event_time_start":"2026-12-04",)"
            R"("event_time_end":"2026-12-04","depends_on":[],"lookback":0,"lookback_unit":"day",)"
            R"("lookahead":0,"lookahead_unit":"day"},{"name":"B","layer":1,)"
            R"("event_time_start":"2026-12-04","event_time_end":"2026-12-04","depends_on":["A"],)"
            R"("lookback":3,"lookback_unit":"day","lookahead":1,"lookahead_unit":"month"}],)"
            R"("edges":[{"upstream":"A","downstream":"B"}]})");
}

TEST(GraphData, EmptyPlanHasEmptyArrays) {
  EXPECT_EQ(render_graph_data(Plan{}), R"({"nodes":[],"edges":[]})");
}

TEST(GraphData, OneEdgePerParentInDependsOnOrderThenModelOrder) {
  Plan plan;
  plan.models = {model("z", 0), model("a", 0), model("m", 0), model("child", 1, {"z", "a", "m"}),
                 model("grandchild", 2, {"child"})};
  const auto data = nlohmann::ordered_json::parse(render_graph_data(plan));
  EXPECT_EQ(data["edges"].dump(),
            R"([{"upstream":"z","downstream":"child"},{"upstream":"a","downstream":"child"},)"
            R"({"upstream":"m","downstream":"child"},)"
            R"({"upstream":"child","downstream":"grandchild"}])");
  EXPECT_EQ(data["nodes"][3]["depends_on"].dump(), R"(["z","a","m"])");
}

TEST(GraphData, LayersKeepTheirFullUnsignedRange) {
  Plan plan;
  plan.models = {model("far", 18446744073709551615ULL)};
  EXPECT_THAT(render_graph_data(plan), testing::HasSubstr(R"("layer":18446744073709551615,)"));
}

TEST(GraphData, StringsAreEscapedLikeThePlanDocument) {
  Plan plan;
  plan.models = {model("q\"b\\s/\b\t\n\f\r\x01\x7f\xc3\xa9\xff", 0)};
  EXPECT_THAT(render_graph_data(plan), testing::HasSubstr(R"("name":"q\"b\\s/\b\t\n\f\r\u0001)"
                                                          "\x7f\xc3\xa9\xef\xbf\xbd\""));
}

TEST(HtmlReport, ExplicitWindowFillsTheSkeletonWithAnEmptyBannerLine) {
  const std::string page = render_html_report(a_b_plan());
  EXPECT_EQ(page, expected_page("", render_graph_data(a_b_plan())));
  EXPECT_THAT(page, testing::HasSubstr("<div class=\"viz-root\">\n  \n  <header id=\"toolbar\">"));
  EXPECT_THAT(page, testing::Not(testing::HasSubstr("id=\"default-yesterday-banner\"")));
}

TEST(HtmlReport, DefaultedWindowPutsTheNoteBannerFirstInTheRoot) {
  Plan plan = a_b_plan();
  plan.default_yesterday = true;
  const std::string banner =
      "<div id=\"default-yesterday-banner\">note: --event-time-start/--event-time-end not "
      "supplied, defaulting every Entry Node to yesterday (2026-12-04)</div>";
  EXPECT_EQ(render_html_report(plan), expected_page(banner, render_graph_data(plan)));
}

TEST(HtmlReport, EmptyPlanEmbedsEmptyGraph) {
  EXPECT_THAT(render_html_report(Plan{}),
              testing::HasSubstr("window.TARN_DBT_PLAN_DATA = {\"nodes\":[],\"edges\":[]};\n"));
}

TEST(HtmlReport, MarkupInNamesCannotLeaveTheScriptElement) {
  const std::string hostile = "</script><script>alert(1)</script><!--&x>";
  Plan plan;
  plan.models = {model(hostile, 0), model("child", 1, {hostile})};
  const std::string page = render_html_report(plan);

  const std::string data = embedded_data(page);
  EXPECT_THAT(data, testing::HasSubstr(R"("name":"\u003c/script\u003e\u003cscript\u003ealert(1))"
                                       R"(\u003c/script\u003e\u003c!--\u0026x\u003e")"));
  EXPECT_EQ(data.find_first_of("<>&"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(data), nlohmann::json::parse(render_graph_data(plan)));
  EXPECT_EQ(nlohmann::json::parse(data)["nodes"][0]["name"], hostile);

  // The one closing tag left is the page's own, and no comment is opened.
  const std::size_t close = page.find("</script>");
  EXPECT_EQ(page.find("</script>", close + 1), std::string::npos);
  EXPECT_EQ(close, page.size() - std::string_view("</script>\n</body>\n</html>\n").size());
  EXPECT_EQ(page.find("<!--"), std::string::npos);
}

TEST(HtmlReport, GraphDataOnItsOwnStaysUnescaped) {
  Plan plan;
  plan.models = {model("a<b>&c", 0)};
  EXPECT_THAT(render_graph_data(plan), testing::HasSubstr(R"("name":"a<b>&c")"));
}

TEST(HtmlReportAssets, PageIsSelfContained) {
  const std::string page = render_html_report(a_b_plan());
  for (const char* outward :
       {"src=", "href=", "url(", "@import", "<link", "fetch(", "XMLHttpRequest"}) {
    EXPECT_EQ(page.find(outward), std::string::npos) << outward;
  }
}

}  // namespace
}  // namespace tarn
