// The planner on random model graphs drawn from the fuzzer's bytes, with odd names, amounts and
// days that reach the limits of the day range, random windows, limits and anchors. It fails only
// on a cycle among the selected models or on an anchor it cannot place; a plan that comes back is
// the one reckoned here independently and renders.
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "fuzz_check.h"
#include "output/plan_json.h"
#include "output/tree.h"
#include "plan/plan.h"

namespace {

using tarn::Window;
using Parents = std::map<std::string, std::vector<std::string>>;  // the selected ones

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

/// Up to 40 models "model.<random letter>.n<i>", so that id order is not creation order, named
/// by their ids or drawn from k_names; parents are earlier models, a source and, with `cycles`,
/// now and then any model; a fifth are left unselected.
void random_graph(Bytes& in, tarn::Manifest& manifest, tarn::Selection& selection, bool cycles,
                  bool named_by_id) {
  const std::size_t models = 1 + in.below(40);
  std::vector<std::string> ids, names;
  for (std::size_t i = 0; i < models; ++i) {
    ids.push_back("model." + std::string{char('a' + in.below(6))} + ".n" + std::to_string(i));
    names.push_back(named_by_id ? ids.back() : k_names[in.below(std::size(k_names))]);
  }
  for (std::size_t i = 0; i < models; ++i) {
    tarn::ManifestNode& node = manifest.nodes[ids[i]];
    node.id = ids[i];
    node.name = names[i];
    for (std::size_t p = in.below(4); p > 0; --p) {
      node.depends_on.push_back(cycles && in.chance(5)   ? ids[in.below(models)]
                                : i > 0 && in.chance(85) ? ids[in.below(i)]
                                                         : "source.a.raw.events");
    }
    node.event_time = in.chance(70) ? std::optional<std::string>("at") : std::nullopt;
    if (in.chance(75)) {
      tarn::TarnMeta& meta = node.meta.emplace();
      meta.lookback = in.amount();
      meta.lookahead = in.amount();
      meta.lookback_unit = static_cast<tarn::WindowUnit>(in.below(4));
      meta.lookahead_unit = static_cast<tarn::WindowUnit>(in.below(4));
      for (std::size_t n = in.below(3); n > 0; --n) {
        auto& overrides = in.chance(50) ? meta.lookback_overrides : meta.lookahead_overrides;
        overrides[names[in.below(models)]] = in.amount();
      }
    }
    if (in.chance(80)) {
      selection.insert(node.id);
    }
  }
}

void add_ancestors(const Parents& parents, const std::string& id, std::set<std::string>& seen) {
  for (const std::string& parent : parents.at(id)) {
    if (seen.insert(parent).second) {
      add_ancestors(parents, parent, seen);
    }
  }
}

/// Checks a plan of models named by their ids against this reckoning: each model's layer is one
/// past its parents', the Entry Nodes open the order in id order, and each window is the hull of
/// its parents' windows widened by the model's meta; on the way to the Anchor, the hull of what
/// its consumers need; the Anchor and the Entry Nodes outside its ancestry on the Anchor window.
void check_reckoning(const tarn::Manifest& manifest, const Parents& parents, const tarn::Plan& plan,
                     const std::set<std::string>& upstream) {
  std::map<std::string, std::size_t> at;  // each model's place in the plan
  for (std::size_t i = 0; i < plan.models.size(); ++i) {
    at[plan.models[i].name] = i;
  }
  std::map<std::string, std::optional<Window>> reckoned;
  std::size_t entry_nodes = 0;
  for (const auto& [id, its_parents] : parents) {
    const tarn::TarnMeta meta = manifest.nodes.at(id).meta.value_or(tarn::TarnMeta{});
    const bool back = id == plan.anchor_model || upstream.contains(id);
    std::uint64_t layer = 0;
    for (const std::string& parent : its_parents) {
      layer = std::max(layer, plan.models[at.at(parent)].layer + 1);
      const auto amount = [&](const auto& overrides, std::int64_t fallback) {
        return overrides.contains(parent) ? overrides.at(parent) : fallback;
      };
      const tarn::PlannedModel& from = plan.models[at.at(back ? id : parent)];
      const Window w{
          shift_back(from.event_time_start, amount(meta.lookback_overrides, meta.lookback),
                     meta.lookback_unit),
          shift_forward(from.event_time_end, amount(meta.lookahead_overrides, meta.lookahead),
                        meta.lookahead_unit)};
      std::optional<Window>& into = reckoned[back ? parent : id];
      into = into ? Window{std::min(into->start, w.start), std::max(into->end, w.end)} : w;
    }
    const tarn::PlannedModel& planned = plan.models[at.at(id)];
    FUZZ_CHECK(planned.layer == layer && planned.depends_on == its_parents);
    FUZZ_CHECK(!its_parents.empty() || at.at(id) == entry_nodes++);
  }
  FUZZ_CHECK(std::ranges::is_sorted(plan.models, {}, &tarn::PlannedModel::layer));
  for (const tarn::PlannedModel& m : plan.models) {
    FUZZ_CHECK((Window{m.event_time_start, m.event_time_end}) ==
               reckoned[m.name].value_or(plan.anchor_window));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, data + size};
  const bool may_cycle = in.chance(50), named_by_id = in.chance(50);
  tarn::Manifest manifest;
  tarn::Selection selection;
  random_graph(in, manifest, selection, may_cycle, named_by_id);
  std::optional<Window> window;
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

  Parents parents;
  for (const std::string& id : selection) {
    std::ranges::copy_if(manifest.nodes.at(id).depends_on, std::back_inserter(parents[id]),
                         [&](const std::string& parent) { return selection.contains(parent); });
  }
  std::map<std::string, std::set<std::string>> ancestors;
  bool cyclic = false;
  for (const auto& [id, its_parents] : parents) {
    add_ancestors(parents, id, ancestors[id]);
    cyclic |= ancestors[id].contains(id);
  }
  // Named by their ids, an anchor is placeable exactly when it is selected.
  const bool placeable = !anchor || (named_by_id && selection.contains(*anchor));
  auto plan = tarn::generate(manifest, selection, window, limit, anchor);
  if (!plan) {
    FUZZ_CHECK(plan.error().starts_with("the selected models form a cycle")
                   ? cyclic
                   : !plan.error().empty() && !(named_by_id && placeable));
    return 0;
  }
  FUZZ_CHECK(!cyclic && (placeable || !named_by_id));
  FUZZ_CHECK(plan->models.size() == selection.size());
  FUZZ_CHECK(plan->default_yesterday == !window && plan->anchor_model == anchor);
  FUZZ_CHECK(!window || plan->anchor_window == *window);
  if (named_by_id) {
    check_reckoning(manifest, parents, *plan, ancestors[anchor.value_or("")]);
  }
  const tarn::PlanRunInfo info{"a+ b", "m.json", "dbt", "2024-01-01T00:00:00Z", limit};
  const auto document = nlohmann::json::parse(tarn::render_plan_json_at(*plan, info, instant));
  FUZZ_CHECK(document.at("models").size() == plan->models.size());
  FUZZ_CHECK(document.at("metadata").at("warnings").size() == plan->warnings.size());
  FUZZ_CHECK(std::size_t(std::ranges::count(tarn::render_tree(*plan), '\n')) ==
             plan->models.size());
  return 0;
}
