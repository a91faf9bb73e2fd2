// Writes HTML reports for canned plans into a directory, so that the browser
// suite and the benchmark drive pages made by the real renderer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "html/html_report.h"
#include "output/write_atomically.h"

namespace {

using tarn::Date;
using tarn::Plan;
using tarn::PlannedModel;

constexpr Date dec_1_2026{20788};
constexpr Date dec_4_2026{20791};

PlannedModel model(std::string name, std::uint64_t layer, std::vector<std::string> parents,
                   Date start = dec_4_2026, Date end = dec_4_2026) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.layer = layer;
  planned.event_time_start = start;
  planned.event_time_end = end;
  planned.depends_on = std::move(parents);
  return planned;
}

Plan plan_of(std::vector<PlannedModel> models) {
  Plan plan;
  plan.models = std::move(models);
  return plan;
}

// Layers 0, 1 and 3; plan order differs from name order within each layer;
// one name too long for its box.
Plan basic_plan() {
  std::string long_name;
  for (int i = 0; i < 5; ++i) {
    long_name += "very_long_model_name_without_any_space_";
  }
  return plan_of({model("gamma", 0, {}), model("alpha", 0, {}), model("Beta", 0, {}),
                  model("fct_orders", 1, {"alpha", "Beta"}, dec_1_2026),
                  model(long_name + "end", 1, {"gamma"}),
                  model("report", 3, {"fct_orders"}, dec_1_2026),
                  model("mart", 3, {"fct_orders", "gamma", "alpha"}, dec_1_2026)});
}

constexpr const char* hostile_name = "</script><img src=x onerror=\"window.pwned=1\"><!--&amp;";

// Windows that end on a leap day and on the last day of a year, with
// lookbacks and lookaheads in several units.
Plan windows_plan() {
  PlannedModel leap = model("leap_day", 0, {}, Date{19780}, Date{19782});  // 2024-02-27..29
  leap.lookback = 3;
  leap.lookahead = 1;
  leap.lookahead_unit = tarn::WindowUnit::month;
  PlannedModel year_end =
      model("year_end", 1, {"leap_day"}, Date{20453}, Date{20453});  // 2025-12-31
  year_end.lookback = 1;
  year_end.lookback_unit = tarn::WindowUnit::week;
  return plan_of({leap, year_end});
}

// 25 layers of per_layer models (5,000 models and 15,000 edges at 200): three
// parents each below the first layer, a fourth for every eighth model.
Plan large_plan(int per_layer) {
  constexpr int layers = 25;
  std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
  const auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return (seed >> 33) % bound;
  };
  const auto name_of = [](int layer, int index) {
    char text[32];
    std::snprintf(text, sizeof text, "model_l%02d_%03d", layer, index);
    return std::string(text);
  };
  Plan plan;
  for (int layer = 0; layer < layers; ++layer) {
    for (int index = 0; index < per_layer; ++index) {
      std::vector<std::string> parents;
      if (layer > 0) {
        const int wanted = (layer * per_layer + index) % 8 == 0 ? 4 : 3;
        while (static_cast<int>(parents.size()) < wanted) {
          const int from = layer - 1 - static_cast<int>(next(std::min(layer, 3)));
          std::string parent = name_of(from, static_cast<int>(next(per_layer)));
          if (std::find(parents.begin(), parents.end(), parent) == parents.end()) {
            parents.push_back(std::move(parent));
          }
        }
      }
      plan.models.push_back(model(name_of(layer, index), static_cast<std::uint64_t>(layer),
                                  std::move(parents), dec_1_2026));
    }
  }
  return plan;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: html_fixture <output-directory>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const std::pair<const char*, Plan> reports[] = {
      {"basic.html", basic_plan()},
      {"empty.html", Plan{}},
      {"hostile.html", plan_of({model(hostile_name, 0, {}), model("child", 1, {hostile_name})})},
      {"large.html", large_plan(200)},
      {"huge.html", large_plan(800)},
      {"windows.html", windows_plan()},
  };
  for (const auto& [file, plan] : reports) {
    if (auto written = tarn::write_atomically(dir / file, tarn::render_html_report(plan));
        !written) {
      std::fprintf(stderr, "error: %s\n", written.error().c_str());
      return 1;
    }
  }
  return 0;
}
