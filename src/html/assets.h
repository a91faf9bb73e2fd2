#pragma once
// The report's style sheet and page script, compiled into the program from
// src/html/assets/ at build time (one constant per file, named after it).

#include <string_view>

namespace tarn::assets {
extern const std::string_view style_css;
extern const std::string_view report_js;
}  // namespace tarn::assets
