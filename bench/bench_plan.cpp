// Times the planner alone on synthetic model graphs held in memory: every
// model selected, about three selected parents each plus a source, a mix of
// window units and overrides. Prints the best of several runs in milliseconds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include <fmt/format.h>

#include "output/plan_json.h"
#include "plan/plan.h"

namespace {

struct Workload {
  tarn::Manifest manifest;
  tarn::Selection selection;
  std::size_t edges = 0;
  std::string last_name;
};

std::string bench_id(std::size_t i) {
  return fmt::format("model.bench.m{:07}", i);
}

tarn::TarnMeta meta_for(std::size_t i, std::mt19937_64& random) {
  tarn::TarnMeta meta;
  meta.lookback = static_cast<std::int64_t>(random() % 4);
  meta.lookback_unit = static_cast<tarn::WindowUnit>(i % 4);
  meta.lookahead = static_cast<std::int64_t>(random() % 3);
  if (i % 10 == 0 && i > 0) {
    meta.lookback_overrides[fmt::format("m{:07}", i - 1)] = 0;
  }
  return meta;
}

Workload synthetic_workload(std::size_t models, std::size_t parents_per_model) {
  std::mt19937_64 random(20241210);
  Workload work;
  work.manifest.nodes.reserve(models + 1);
  work.selection.reserve(models);
  for (std::size_t i = 0; i < models; ++i) {
    tarn::ManifestNode node;
    node.id = bench_id(i);
    node.name = fmt::format("m{:07}", i);
    node.event_time = "event_at";
    // Parents come from a window of recent models so that chains grow deep.
    const std::size_t window = std::min<std::size_t>(i, 2000);
    for (std::size_t p = 0; p < parents_per_model && window > 0; ++p) {
      node.depends_on.push_back(bench_id(i - 1 - random() % window));
      ++work.edges;
    }
    node.depends_on.push_back("source.bench.raw.events");
    if (i % 3 != 0) {
      node.meta = meta_for(i, random);
    }
    work.selection.insert(node.id);
    work.last_name = node.name;
    work.manifest.nodes.emplace(node.id, std::move(node));
  }
  return work;
}

struct Timing {
  double wall_ms = 1e300;
  double cpu_ms = 1e300;
};

double thread_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

/// Best of several runs; the CPU figure is what the planner itself used, which
/// stays meaningful on a machine busy with other work.
Timing best_of(const Workload& work, const std::optional<std::string>& anchor, int runs) {
  const tarn::Window window{tarn::Date{19792}, tarn::Date{19792}};
  Timing best;
  for (int run = 0; run < runs; ++run) {
    const double cpu_start = thread_cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    auto plan = tarn::generate(work.manifest, work.selection, window, 90, anchor);
    const auto stop = std::chrono::steady_clock::now();
    const double cpu_stop = thread_cpu_ms();
    if (!plan || plan->models.size() != work.selection.size()) {
      std::fprintf(stderr, "planning failed\n");
      std::exit(1);
    }
    best.wall_ms =
        std::min(best.wall_ms, std::chrono::duration<double, std::milli>(stop - start).count());
    best.cpu_ms = std::min(best.cpu_ms, cpu_stop - cpu_start);
  }
  return best;
}

/// Best wall time of rendering the plan document for every model selected.
double best_render_ms(const Workload& work, int runs) {
  const tarn::Window window{tarn::Date{19792}, tarn::Date{19792}};
  auto plan = tarn::generate(work.manifest, work.selection, window, 90, std::nullopt);
  const tarn::PlanRunInfo info{"*", "./target/manifest.json", "dbt", "2024-03-01T00:00:00Z", 90};
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    std::string text = tarn::render_plan_json(*plan, info);
    const auto stop = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
  }
  return best;
}

}  // namespace

int main() {
  std::printf("%-8s %-8s %12s %12s %14s %14s %16s\n", "models", "edges", "wall ms", "cpu ms",
              "anchor wall ms", "anchor cpu ms", "document wall ms");
  for (std::size_t models : {10000u, 100000u}) {
    const Workload work = synthetic_workload(models, 3);
    const Timing plain = best_of(work, {}, 7);
    const Timing anchored = best_of(work, work.last_name, 7);
    const double render = best_render_ms(work, 5);
    std::printf("%-8zu %-8zu %12.1f %12.1f %14.1f %14.1f %16.1f\n", models, work.edges,
                plain.wall_ms, plain.cpu_ms, anchored.wall_ms, anchored.cpu_ms, render);
  }
  return 0;
}
