// The planner on the property tests' random graphs drawn from the fuzzer's bytes, with odd
// names, amounts and days that reach the limits of the day range, random windows, limits and
// anchors. A plan that comes back must hold the planner's invariants and render.
#include <nlohmann/json.hpp>

#include "../unit/support/random_graph.h"
#include "fuzz_check.h"
#include "output/plan_json.h"
#include "output/tree.h"
#include "plan/plan.h"

namespace {

// Past the end every choice reads zero, so short inputs still build a small, valid case.
struct Bytes {
  const std::uint8_t *data, *end;
  std::uint8_t next() { return data < end ? *data++ : 0; }
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
  tarn::Date day() {
    return {chance(95) ? 19'700 + std::int64_t(below(1000)) : std::int64_t(word())};
  }
};

// Names repeat across packages and reach JSON and the terminal unescaped by the planner.
constexpr const char* k_names[] = {"a",        "ab",    "b",  "stg", "a b",
                                   "\xc3\xbc", "q\"\\", "\t", "m0",  "m1"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, data + size};
  const bool may_cycle = in.chance(50);
  tarn::Manifest manifest;
  tarn::Selection selection;
  tarn::testing::random_graph(in, manifest, selection, 40, may_cycle,
                              in.chance(50) ? k_names : std::span<const char* const>{});
  std::optional<tarn::Window> window;
  if (in.chance(80)) {
    const tarn::Date start = in.day();
    window = {start,
              in.chance(95) ? tarn::Date{start.days + std::int64_t(in.below(70)) - 5} : in.day()};
  }
  const std::int64_t limit = in.chance(90) ? std::int64_t(in.below(200)) - 10 : in.amount();
  std::optional<std::string> anchor;
  if (window && in.chance(30)) {
    const auto model = std::next(manifest.nodes.begin(), in.below(manifest.nodes.size()));
    anchor = in.chance(80) ? model->second.name : "nobody";
  }
  const std::int64_t instant = in.chance(90) ? 1'733'400'000 : std::int64_t(in.word() >> 1);

  auto plan = tarn::generate(manifest, selection, window, limit, anchor);
  if (!plan) {
    FUZZ_CHECK(!plan.error().empty());
    FUZZ_CHECK(plan.error().starts_with("the selected models form a cycle") ? may_cycle
                                                                            : anchor.has_value());
    return 0;
  }
  FUZZ_CHECK(plan->models.size() == selection.size());
  FUZZ_CHECK(plan->default_yesterday == !window && plan->anchor_model == anchor);
  const tarn::PlanRunInfo info{"a+ b", "m.json", "dbt", "2024-01-01T00:00:00Z", limit};
  const auto document = nlohmann::json::parse(tarn::render_plan_json_at(*plan, info, instant));
  FUZZ_CHECK(document.at("models").size() == plan->models.size());
  FUZZ_CHECK(document.at("metadata").at("warnings").size() == plan->warnings.size());
  FUZZ_CHECK(std::size_t(std::ranges::count(tarn::render_tree(*plan), '\n')) ==
             plan->models.size());
  return 0;
}
