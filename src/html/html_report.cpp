#include "html/html_report.h"

namespace tarn {
std::filesystem::path html_report_path(const std::filesystem::path& project_dir) {
  return html_report_path_at(project_dir, 0);
}
std::filesystem::path html_report_path_at(const std::filesystem::path& project_dir, std::int64_t) {
  return project_dir / "target" / "tarn" / "dbt-plan" / "dbt_plan_19700101000000.html";
}
std::string render_graph_data(const Plan&) {
  return "{}";
}
std::string render_html_report(const Plan&) {
  return {};
}
}  // namespace tarn
