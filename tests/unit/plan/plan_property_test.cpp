// Planner properties over thousands of seeded random graphs, against the test's own reckoning.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "plan/plan.h"
#include "unit/support/random_graph.h"

namespace tarn {
namespace {

using Parents = std::map<std::string, std::vector<std::string>>;

void add_ancestors(const Parents& parents, const std::string& id, std::set<std::string>& seen) {
  for (const std::string& parent : parents.at(id)) {
    if (seen.insert(parent).second) {
      add_ancestors(parents, parent, seen);
    }
  }
}

// Models are named by their ids; odd seeds now and then draw back edges, and so cycles.
TEST(PlanProperties, EveryModelFollowsItsSelectedParentsOrLeadsBackToTheAnchorUnlessTheyCycle) {
  std::uint64_t cycles = 0;
  for (std::uint64_t seed = 0; seed < 2000; ++seed) {
    SCOPED_TRACE(seed);
    testing::Dice dice{std::mt19937_64(seed)};
    Manifest manifest;
    Selection selection;
    testing::random_graph(dice, manifest, selection, seed % 2 ? 12 : 30, seed % 2);
    const Date start{19'000 + static_cast<std::int64_t>(dice.below(2000))};
    const Window window{start, {start.days + static_cast<std::int64_t>(dice.below(43)) - 2}};
    Parents parents;  // the selected ones
    for (const std::string& id : selection) {
      std::ranges::copy_if(manifest.nodes.at(id).depends_on, std::back_inserter(parents[id]),
                           [&](const std::string& parent) { return selection.contains(parent); });
    }
    std::optional<std::string> anchor;
    if (!selection.empty() && dice.chance(50)) {
      anchor = std::next(parents.begin(), dice.below(parents.size()))->first;
    }
    const auto plan = generate(manifest, selection, window, 90, anchor);
    std::map<std::string, std::set<std::string>> ancestors;
    bool cyclic = false;
    for (const auto& [id, its_parents] : parents) {
      add_ancestors(parents, id, ancestors[id]);
      cyclic |= ancestors[id].contains(id);
    }
    cycles += cyclic;
    ASSERT_EQ(plan ? "planned" : plan.error(),
              cyclic ? "the selected models form a cycle and have no Entry Node -- this shouldn't "
                       "be possible against a real dbt-compiled manifest; check that --manifest "
                       "points at a genuine `dbt compile`/`dbt parse` output"
                     : "planned");
    if (cyclic) {
      continue;
    }
    std::map<std::string, std::size_t> at;  // each model's place in the plan
    for (std::size_t i = 0; i < plan->models.size(); ++i) {
      at[plan->models[i].name] = i;
    }
    const std::set<std::string>& upstream = ancestors[anchor.value_or("")];  // of the Anchor
    // Each model's window by the test's reckoning: the hull of its parents' windows, each widened
    // by the model's meta; on the way to the Anchor, the hull of what its consumers need.
    std::map<std::string, std::optional<Window>> reckoned;
    std::size_t entry_nodes = 0;
    for (const auto& [id, its_parents] : parents) {
      SCOPED_TRACE(id);
      const TarnMeta meta = manifest.nodes.at(id).meta.value_or(TarnMeta{});
      const bool back = id == anchor || upstream.contains(id);
      std::uint64_t layer = 0;
      for (const std::string& parent : its_parents) {
        layer = std::max(layer, plan->models[at.at(parent)].layer + 1);
        const auto amount = [&](const auto& overrides, std::int64_t fallback) {
          return overrides.contains(parent) ? overrides.at(parent) : fallback;
        };
        const PlannedModel& from = plan->models[at.at(back ? id : parent)];
        const Window w{
            shift_back(from.event_time_start, amount(meta.lookback_overrides, meta.lookback),
                       meta.lookback_unit),
            shift_forward(from.event_time_end, amount(meta.lookahead_overrides, meta.lookahead),
                          meta.lookahead_unit)};
        std::optional<Window>& into = reckoned[back ? parent : id];
        into = into ? Window{std::min(into->start, w.start), std::max(into->end, w.end)} : w;
      }
      EXPECT_EQ(plan->models[at.at(id)].layer, layer);
      EXPECT_EQ(plan->models[at.at(id)].depends_on, its_parents);
      // The Entry Nodes open the order, in byte order of their ids.
      EXPECT_TRUE(!its_parents.empty() || at.at(id) == entry_nodes++);
    }
    // Layer by layer, so parents come first; the Anchor and the Entry Nodes outside its ancestry
    // are on the Anchor window.
    EXPECT_TRUE(std::ranges::is_sorted(plan->models, {}, &PlannedModel::layer));
    for (const PlannedModel& m : plan->models) {
      EXPECT_EQ((Window{m.event_time_start, m.event_time_end}), reckoned[m.name].value_or(window))
          << m.name;
    }
  }
  EXPECT_GT(cycles, 50) << "the generator should make cycles often enough";
}

}  // namespace
}  // namespace tarn
