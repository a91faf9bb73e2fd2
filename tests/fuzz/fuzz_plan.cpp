// The planner on model graphs built from the fuzzer's bytes: random DAGs, now
// and then a cycle, random meta, overrides, windows, limits and anchors. A
// plan that comes back must hold the planner's invariants and render.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_source.h"
#include "fuzz_check.h"
#include "manifest/manifest.h"
#include "output/plan_json.h"
#include "output/tree.h"
#include "plan/plan.h"

namespace {

using tarn_fuzz::ByteSource;

// Shared and odd names: packages may repeat a name, and names reach JSON and
// the terminal unescaped by the planner.
constexpr const char* kNamePool[] = {"a", "ab", "b", "stg", "a b", "\xc3\xbc", "q\"\\", "\t"};

struct Case {
  tarn::Manifest manifest;
  tarn::Selection selection;
  std::vector<std::string> model_ids;
  std::optional<tarn::Window> window;
  std::int64_t limit = 90;
  std::optional<std::string> anchor;
  bool may_cycle = false;
};

tarn::WindowUnit unit(ByteSource& in) {
  return static_cast<tarn::WindowUnit>(in.below(4));
}

std::string model_name(ByteSource& in, std::size_t index) {
  if (in.chance(30)) {
    return kNamePool[in.below(std::size(kNamePool))];
  }
  return "m" + std::to_string(index);
}

tarn::TarnMeta random_meta(ByteSource& in, const std::vector<std::string>& names) {
  tarn::TarnMeta meta;
  meta.lookback = in.amount();
  meta.lookback_unit = unit(in);
  meta.lookahead = in.amount();
  meta.lookahead_unit = unit(in);
  for (std::size_t i = in.below(3); i > 0; --i) {
    const std::string& key = names[in.below(names.size())];
    (in.chance(50) ? meta.lookback_overrides : meta.lookahead_overrides)[key] = in.amount();
  }
  return meta;
}

std::string parent_id(ByteSource& in, Case& c, std::size_t index, std::size_t sources) {
  const std::uint8_t kind = in.byte();
  if (kind < 200 && index > 0) {
    return c.model_ids[in.below(index)];
  }
  if (kind < 212) {
    c.may_cycle = true;
    return c.model_ids[in.below(c.model_ids.size())];
  }
  if (kind < 236 && sources > 0) {
    return "source.p.s" + std::to_string(in.below(sources));
  }
  return "seed.p.missing";
}

tarn::Date random_day(ByteSource& in) {
  if (in.chance(95)) {
    return tarn::Date{19'700 + static_cast<std::int64_t>(in.below(1000))};
  }
  return tarn::Date{static_cast<std::int64_t>(in.word())};
}

Case build_case(ByteSource& in) {
  Case c;
  const std::size_t models = 1 + in.below(40);
  const std::size_t sources = in.below(4);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < models; ++i) {
    // A short random stem before the index varies the byte order of the ids.
    c.model_ids.push_back("model.p." + in.text(3, "ab._Z") + std::to_string(i));
    names.push_back(model_name(in, i));
  }
  for (std::size_t i = 0; i < sources; ++i) {
    const std::string id = "source.p.s" + std::to_string(i);
    tarn::ManifestNode& source = c.manifest.nodes[id];
    source.id = id;
    source.name = "s" + std::to_string(i);
    source.is_source = true;
  }
  for (std::size_t i = 0; i < models; ++i) {
    tarn::ManifestNode node;
    node.id = c.model_ids[i];
    node.name = names[i];
    for (std::size_t p = in.below(5); p > 0; --p) {
      node.depends_on.push_back(parent_id(in, c, i, sources));
    }
    if (in.chance(50)) {
      node.event_time = "ts";
    }
    if (in.chance(70)) {
      node.meta = random_meta(in, names);
    }
    c.manifest.nodes[node.id] = node;
    if (in.chance(75)) {
      c.selection.insert(node.id);
    }
  }
  if (in.chance(80)) {
    const tarn::Date start = random_day(in);
    const tarn::Date end =
        in.chance(95) ? tarn::Date{start.days + static_cast<std::int64_t>(in.below(70)) - 5}
                      : random_day(in);
    c.window = tarn::Window{start, end};
  }
  c.limit = in.chance(90) ? static_cast<std::int64_t>(in.below(200)) - 10 : in.amount();
  if (c.window && in.chance(30)) {
    c.anchor = in.chance(80) ? names[in.below(names.size())] : std::string("nobody");
  }
  return c;
}

void check_plan(const Case& c, const tarn::Plan& plan) {
  FUZZ_CHECK(plan.models.size() == c.selection.size());
  FUZZ_CHECK(plan.default_yesterday == !c.window);
  FUZZ_CHECK(plan.anchor_model == c.anchor);
  for (std::size_t i = 0; i < plan.models.size(); ++i) {
    const tarn::PlannedModel& model = plan.models[i];
    FUZZ_CHECK(i == 0 || plan.models[i - 1].layer <= model.layer);
    FUZZ_CHECK(model.depends_on.empty() == (model.layer == 0));
    if (!c.anchor && model.depends_on.empty()) {
      FUZZ_CHECK(model.event_time_start == plan.anchor_window.start);
      FUZZ_CHECK(model.event_time_end == plan.anchor_window.end);
    }
  }
}

void check_rendering(const Case& c, const tarn::Plan& plan, std::int64_t instant) {
  const tarn::PlanRunInfo info{"a+ b", "./target/manifest.json", "dbt",
                               std::optional<std::string>("2024-01-01T00:00:00Z"), c.limit};
  const std::string document = tarn::render_plan_json_at(plan, info, instant);
  const nlohmann::json parsed = nlohmann::json::parse(document, nullptr, false);
  FUZZ_CHECK(parsed.is_object() && parsed.contains("models") && parsed.contains("metadata"));
  FUZZ_CHECK(parsed["models"].size() == plan.models.size());
  FUZZ_CHECK(parsed["metadata"].contains("warnings"));
  FUZZ_CHECK(parsed["metadata"]["warnings"].size() == plan.warnings.size());
  const std::string tree = tarn::render_tree(plan);
  FUZZ_CHECK(static_cast<std::size_t>(std::count(tree.begin(), tree.end(), '\n')) ==
             plan.models.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  Case c = build_case(in);
  const std::int64_t instant =
      in.chance(90) ? 1'733'400'000 : static_cast<std::int64_t>(in.word() >> 1);
  auto plan = tarn::generate(c.manifest, c.selection, c.window, c.limit, c.anchor);
  if (!plan) {
    const tarn::PlanError& error = plan.error();
    FUZZ_CHECK(!error.message().empty());
    FUZZ_CHECK(error.kind == tarn::PlanError::Kind::cycle ? c.may_cycle : c.anchor.has_value());
    return 0;
  }
  check_plan(c, *plan);
  check_rendering(c, *plan, instant);
  return 0;
}
