#include "html/html_report.h"

#include <gmock/gmock.h>

namespace tarn {
namespace {

using ::testing::HasSubstr;

// What the browser cannot see: the bytes of the embedded data, where markup in a name is escaped,
// the doctype, and the banner present only for a defaulted window. The browser suite runs the
// page's style and script.
TEST(HtmlReport, WritesTheDoctypeTheBannerAndTheEscapedData) {
  constexpr Date dec_4{20791};
  Plan plan;
  plan.models = {
      {"</script><!--&>", dec_4, dec_4, 0, WindowUnit::day, 1, WindowUnit::month, {"z"}}};
  plan.anchor_window = {dec_4, dec_4};
  plan.default_yesterday = true;
  const std::string page = render_html_report(plan);
  EXPECT_THAT(page, ::testing::StartsWith("<!DOCTYPE html>\n<html lang=\"en\">\n"));
  EXPECT_THAT(page,
              HasSubstr("<div class=\"viz-root\">\n  <div id=\"default-yesterday-banner\">" +
                        *plan.default_yesterday_note() + "</div>\n  <header id=\"toolbar\">"));
  const std::string name = R"("\u003c/script\u003e\u003c!--\u0026\u003e")";
  EXPECT_THAT(
      page, HasSubstr("<script>\nwindow.TARN_DBT_PLAN_DATA = {\"nodes\":[{\"name\":" + name +
                      R"(,"layer":0,"event_time_start":"2026-12-04","event_time_end":"2026-12-04",)"
                      R"("depends_on":["z"],"lookback":0,"lookback_unit":"day","lookahead":1,)"
                      R"("lookahead_unit":"month"}],"edges":[{"upstream":"z","downstream":)" +
                      name + "}]};\n"));
  EXPECT_THAT(render_html_report(Plan{}),
              HasSubstr("<div class=\"viz-root\">\n  \n  <header id=\"toolbar\">"));
}

}  // namespace
}  // namespace tarn
