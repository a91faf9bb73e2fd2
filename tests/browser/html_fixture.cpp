// Writes HTML reports for canned plans into a directory, so that the browser
// suite and the benchmark drive pages made by the real renderer.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "html/html_report.h"
#include "output/write_atomically.h"

namespace {

using tarn::Date;
using tarn::PlannedModel;

constexpr Date dec_1{20788};
constexpr Date dec_4{20791};

PlannedModel model(std::string name, std::uint64_t layer, std::vector<std::string> parents,
                   Date start = dec_4) {
  return {std::move(name), start, dec_4, 0, {}, 0, {}, std::move(parents), layer};
}

// 25 layers of per_layer models: three parents each below the first layer, a
// fourth for every eighth, scattered over the three layers before. Parents
// in one layer differ: 61, 122 and 183 are no multiples of 200 or 800.
std::vector<PlannedModel> large_plan(int per_layer) {
  const auto name_of = [](int layer, int index) {  // model_l03_007
    return "model_l" + std::to_string(100 + layer).substr(1) + "_" +
           std::to_string(1000 + index).substr(1);
  };
  std::vector<PlannedModel> models;
  for (int i = 0; i < 25 * per_layer; ++i) {
    const int layer = i / per_layer;
    std::vector<std::string> parents;
    for (int p = 0; layer > 0 && p < (i % 8 == 0 ? 4 : 3); ++p) {
      parents.push_back(name_of(layer - 1 - p % std::min(layer, 3), (37 * i + 61 * p) % per_layer));
    }
    models.push_back(model(name_of(layer, i % per_layer), layer, std::move(parents), dec_1));
  }
  return models;
}

}  // namespace

int main(int argc, char** argv) {
  // basic: layers 0, 1 and 3, plan order unlike name order, one name too long for its box.
  const std::string part = "very_long_model_name_without_any_space_";
  const std::string long_name = part + part + part + part + part + "end";
  const std::string hostile = "</script><img src=x onerror=\"window.pwned=1\"><!--&amp;";
  // windows: a leap day, a year's last day; lookbacks and lookaheads in several units.
  using enum tarn::WindowUnit;
  std::pair<const char*, std::vector<PlannedModel>> reports[] = {
      {"basic.html",
       {model("gamma", 0, {}), model("alpha", 0, {}), model("Beta", 0, {}),
        model("fct_orders", 1, {"alpha", "Beta"}, dec_1), model(long_name, 1, {"gamma"}),
        model("report", 3, {"fct_orders"}, dec_1),
        model("mart", 3, {"fct_orders", "gamma", "alpha"}, dec_1)}},
      {"empty.html", {}},
      {"hostile.html", {model(hostile, 0, {}), model("child", 1, {hostile})}},
      {"large.html", large_plan(200)},
      {"huge.html", large_plan(800)},
      {"windows.html",
       {{"leap_day", Date{19780}, Date{19782}, 3, day, 1, month, {}, 0},
        {"year_end", Date{20453}, Date{20453}, 1, week, 0, day, {"leap_day"}, 1}}},
  };
  for (auto& [file, models] : reports) {
    tarn::Plan plan;
    plan.models = std::move(models);
    const std::filesystem::path path = std::filesystem::path(argc > 1 ? argv[1] : "reports") / file;
    if (auto written = tarn::write_atomically(path, tarn::render_html_report(plan)); !written) {
      std::fprintf(stderr, "error: %s\n", written.error().c_str());
      return 1;
    }
  }
  return 0;
}
