#include "html/html_report.h"

#include <gmock/gmock.h>

#include "html/assets.h"

namespace tarn {
namespace {

using ::testing::HasSubstr;
using namespace std::string_literals;

constexpr Date dec_4{20791};

PlannedModel model(std::string name, std::uint64_t layer, std::vector<std::string> parents = {}) {
  return {std::move(name), dec_4, dec_4, 0, WindowUnit::day, 0, WindowUnit::day, parents, layer};
}

const std::string dates = R"("event_time_start":"2026-12-04","event_time_end":"2026-12-04",)";
const std::string none =
    R"("lookback":0,"lookback_unit":"day","lookahead":0,"lookahead_unit":"day"})";

TEST(HtmlReportPath, IsTheCompactUtcTimeUnderTheProjectTarget) {
  EXPECT_EQ(html_report_path_at("proj", 1796479387).generic_string(),
            "proj/target/tarn/dbt-plan/dbt_plan_20261205140307.html");
  EXPECT_EQ(html_report_path_at(".", -1).generic_string(),
            "./target/tarn/dbt-plan/dbt_plan_19700101000000.html");
  EXPECT_THAT(html_report_path("p").filename().string(),
              ::testing::MatchesRegex(R"(dbt_plan_20[0-9]{12}\.html)"));
}

TEST(GraphData, NodesInPlanOrderThenOneEdgePerParentInDependsOnOrder) {
  Plan plan;
  plan.models = {model("A", 0), model("B", 18446744073709551615ULL, {"z", "A"}),
                 model("C", 2, {"B"})};
  plan.models[1].lookback = -3;
  plan.models[1].lookahead = 1;
  plan.models[1].lookahead_unit = WindowUnit::month;
  EXPECT_EQ(render_graph_data(plan),
            R"({"nodes":[{"name":"A","layer":0,)" + dates + R"("depends_on":[],)" + none +
                R"(,{"name":"B","layer":18446744073709551615,)" + dates +
                R"("depends_on":["z","A"],"lookback":-3,"lookback_unit":"day","lookahead":1,)"
                R"("lookahead_unit":"month"},{"name":"C","layer":2,)" +
                dates + R"("depends_on":["B"],)" + none +
                R"(],"edges":[{"upstream":"z","downstream":"B"},{"upstream":"A","downstream":"B"},)"
                R"({"upstream":"B","downstream":"C"}]})");
  EXPECT_EQ(render_graph_data(Plan{}), R"({"nodes":[],"edges":[]})");
}

TEST(HtmlReport, EmbedsTheStyleTheNoteTheDataAndTheScriptAndNoMarkupOfTheNames) {
  Plan plan;
  plan.models = {model("</script><!--&", 0)};
  plan.anchor_window = {dec_4, dec_4};
  plan.default_yesterday = true;
  const std::string page = render_html_report(plan);
  EXPECT_THAT(page, ::testing::StartsWith("<!DOCTYPE html>\n<html lang=\"en\">\n"));
  EXPECT_THAT(page, HasSubstr("<style>\n" + std::string(assets::style_css) + "\n</style>\n"));
  EXPECT_THAT(page,
              HasSubstr("<div class=\"viz-root\">\n  <div id=\"default-yesterday-banner\">" +
                        *plan.default_yesterday_note() + "</div>\n  <header id=\"toolbar\">"));
  EXPECT_THAT(page, ::testing::EndsWith(
                        "<script>\nwindow.TARN_DBT_PLAN_DATA = "s +
                        R"({"nodes":[{"name":"\u003c/script\u003e\u003c!--\u0026","layer":0,)" +
                        dates + R"("depends_on":[],)" + none + R"(],"edges":[]})" + ";\n" +
                        std::string(assets::report_js) + "\n</script>\n</body>\n</html>\n"));
  EXPECT_THAT(render_html_report(Plan{}), HasSubstr("<div class=\"viz-root\">\n  \n  <header"));
  for (const char* outward : {"src=", "href=", "url(", "@import", "<link", "fetch(", "XMLHttp"}) {
    EXPECT_EQ(page.find(outward), std::string::npos) << outward;
  }
}

}  // namespace
}  // namespace tarn
