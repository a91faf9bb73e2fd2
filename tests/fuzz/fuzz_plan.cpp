// The planner on model graphs built from the fuzzer's bytes: up to 40 models with shared and
// odd names, parents drawn earlier (a DAG) or now and then anywhere (cycles), sources and
// missing ids; random meta, overrides, windows, limits and anchors. A plan that comes back
// must hold the planner's invariants and render.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "manifest/manifest.h"
#include "output/plan_json.h"
#include "output/tree.h"
#include "plan/plan.h"

namespace {

// Past the end every choice reads zero, so short inputs still build a small, valid case.
struct Bytes {
  const std::uint8_t* data;
  std::size_t size, at = 0;
  std::uint8_t next() { return at < size ? data[at++] : 0; }
  std::uint64_t word() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      value = value << 8 | next();
    }
    return value;
  }
  std::size_t below(std::size_t bound) { return (bound > 256 ? word() : next()) % bound; }
  bool chance(unsigned percent) { return next() % 100 < percent; }
  /// Mostly small amounts, sometimes large, now and then any 64-bit value.
  std::int64_t amount() {
    const std::uint8_t kind = next();
    return kind < 200   ? std::int64_t(next() % 34) - 3
           : kind < 240 ? std::int64_t(word() % 200'001) - 100'000
                        : std::int64_t(word());
  }
  tarn::WindowUnit unit() { return tarn::WindowUnit(below(4)); }
  tarn::Date day() {
    return {chance(95) ? 19'700 + std::int64_t(below(1000)) : std::int64_t(word())};
  }
};

// Packages may repeat a name, and names reach JSON and the terminal unescaped by the planner.
constexpr const char* k_names[] = {"a", "ab", "b", "stg", "a b", "\xc3\xbc", "q\"\\", "\t"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, size};
  const std::size_t models = 1 + in.below(40);
  std::vector<std::string> ids, names;
  for (std::size_t i = 0; i < models; ++i) {
    // A short random stem before the index varies the byte order of the ids.
    ids.push_back("model.p." + std::string(in.below(4), "ab._Z"[in.below(5)]) + std::to_string(i));
    names.push_back(in.chance(30) ? k_names[in.below(std::size(k_names))]
                                  : "m" + std::to_string(i));
  }
  tarn::Manifest manifest;
  tarn::ManifestNode& source = manifest.nodes["source.p.s"];
  source.id = "source.p.s";
  source.name = "s";
  source.is_source = true;
  tarn::Selection selection;
  bool may_cycle = false;
  for (std::size_t i = 0; i < models; ++i) {
    tarn::ManifestNode& node = manifest.nodes[ids[i]];
    node.id = ids[i];
    node.name = names[i];
    for (std::size_t p = in.below(5); p > 0; --p) {
      const std::uint8_t kind = in.next();
      const bool earlier = kind < 200 && i > 0, anywhere = !earlier && kind < 212;
      may_cycle |= anywhere;
      node.depends_on.push_back(earlier      ? ids[in.below(i)]
                                : anywhere   ? ids[in.below(models)]
                                : kind < 236 ? "source.p.s"
                                             : "seed.p.missing");
    }
    node.event_time = in.chance(50) ? std::optional<std::string>("ts") : std::nullopt;
    if (in.chance(70)) {
      tarn::TarnMeta& meta = node.meta.emplace();
      meta.lookback = in.amount();
      meta.lookback_unit = in.unit();
      meta.lookahead = in.amount();
      meta.lookahead_unit = in.unit();
      for (std::size_t o = in.below(3); o > 0; --o) {
        const std::string& key = names[in.below(models)];
        (in.chance(50) ? meta.lookback_overrides : meta.lookahead_overrides)[key] = in.amount();
      }
    }
    if (in.chance(75)) {
      selection.insert(ids[i]);
    }
  }
  std::optional<tarn::Window> window;
  if (in.chance(80)) {
    const tarn::Date start = in.day();
    window = {start,
              in.chance(95) ? tarn::Date{start.days + std::int64_t(in.below(70)) - 5} : in.day()};
  }
  const std::int64_t limit = in.chance(90) ? std::int64_t(in.below(200)) - 10 : in.amount();
  std::optional<std::string> anchor;
  if (window && in.chance(30)) {
    anchor = in.chance(80) ? names[in.below(models)] : "nobody";
  }
  const std::int64_t instant = in.chance(90) ? 1'733'400'000 : std::int64_t(in.word() >> 1);

  auto plan = tarn::generate(manifest, selection, window, limit, anchor);
  if (!plan) {
    FUZZ_CHECK(!plan.error().message().empty());
    FUZZ_CHECK(plan.error().kind == tarn::PlanError::Kind::cycle ? may_cycle : anchor.has_value());
    return 0;
  }
  FUZZ_CHECK(plan->models.size() == selection.size());
  FUZZ_CHECK(plan->default_yesterday == !window && plan->anchor_model == anchor);
  for (std::size_t i = 0; i < plan->models.size(); ++i) {
    const tarn::PlannedModel& model = plan->models[i];
    FUZZ_CHECK(i == 0 || plan->models[i - 1].layer <= model.layer);
    FUZZ_CHECK(model.depends_on.empty() == (model.layer == 0));
    FUZZ_CHECK(anchor || !model.depends_on.empty() ||
               (model.event_time_start == plan->anchor_window.start &&
                model.event_time_end == plan->anchor_window.end));
  }
  const tarn::PlanRunInfo info{"a+ b", "./target/manifest.json", "dbt", "2024-01-01T00:00:00Z",
                               limit};
  const auto document =
      nlohmann::json::parse(tarn::render_plan_json_at(*plan, info, instant), nullptr, false);
  FUZZ_CHECK(document.is_object() && document.at("models").size() == plan->models.size());
  FUZZ_CHECK(document.at("metadata").at("warnings").size() == plan->warnings.size());
  const std::string tree = tarn::render_tree(*plan);
  FUZZ_CHECK(std::size_t(std::count(tree.begin(), tree.end(), '\n')) == plan->models.size());
  return 0;
}
