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
                   Date start = dec_4_2026) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.layer = layer;
  planned.event_time_start = start;
  planned.event_time_end = dec_4_2026;
  planned.depends_on = std::move(parents);
  return planned;
}

std::string long_name() {
  std::string name;
  while (name.size() < 180) {
    name += "very_long_model_name_without_any_space_";
  }
  return name + "end";
}

// Layers 0, 1 and 3; plan order differs from name order within each layer.
Plan basic_plan() {
  Plan plan;
  plan.anchor_window = {dec_4_2026, dec_4_2026};
  plan.models = {
      model("gamma", 0, {}),
      model("alpha", 0, {}),
      model("Beta", 0, {}),
      model("fct_orders", 1, {"alpha", "Beta"}, dec_1_2026),
      model(long_name(), 1, {"gamma"}),
      model("report", 3, {"fct_orders"}, dec_1_2026),
      model("mart", 3, {"fct_orders", "gamma", "alpha"}, dec_1_2026),
  };
  return plan;
}

Plan defaulted_plan() {
  Plan plan = basic_plan();
  plan.default_yesterday = true;
  return plan;
}

constexpr const char* hostile_name = "</script><img src=x onerror=\"window.pwned=1\"><!--&amp;";

Plan hostile_plan() {
  Plan plan;
  plan.anchor_window = {dec_4_2026, dec_4_2026};
  plan.models = {model(hostile_name, 0, {}), model("child", 1, {hostile_name})};
  return plan;
}

// A versioned model is planned once per version, under one name.
Plan versioned_plan() {
  Plan plan;
  plan.anchor_window = {dec_4_2026, dec_4_2026};
  plan.models = {model("stg_customers", 0, {}), model("dim_customers", 1, {"stg_customers"}),
                 model("dim_customers", 1, {"stg_customers"})};
  return plan;
}

// Windows that end on a leap day and on the last day of a year, with
// lookbacks and lookaheads in several units.
Plan windows_plan() {
  PlannedModel leap = model("leap_day", 0, {}, Date{19780});  // 2024-02-27
  leap.event_time_end = Date{19782};                          // 2024-02-29
  leap.lookback = 3;
  leap.lookahead = 1;
  leap.lookahead_unit = tarn::WindowUnit::month;
  PlannedModel year_end = model("year_end", 1, {"leap_day"}, Date{20453});  // 2025-12-31
  year_end.event_time_end = Date{20453};
  year_end.lookback = 1;
  year_end.lookback_unit = tarn::WindowUnit::week;
  Plan plan;
  plan.anchor_window = {leap.event_time_start, leap.event_time_end};
  plan.models = {leap, year_end};
  return plan;
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
  plan.anchor_window = {dec_4_2026, dec_4_2026};
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
      {"defaulted.html", defaulted_plan()},
      {"empty.html", Plan{}},
      {"hostile.html", hostile_plan()},
      {"large.html", large_plan(200)},
      {"huge.html", large_plan(800)},
      {"versioned.html", versioned_plan()},
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
