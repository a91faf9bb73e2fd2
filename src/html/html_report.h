#pragma once
// The self-contained interactive HTML report.

#include <filesystem>
#include <string>

#include "plan/plan.h"

namespace tarn {

/// <project-dir>/target/tarn/dbt-plan/dbt_plan_<YYYYMMDDHHMMSS>.html
std::filesystem::path html_report_path(const std::filesystem::path& project_dir);

std::string render_html_report(const Plan& plan);

}  // namespace tarn
