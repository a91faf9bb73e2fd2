// Planner properties over thousands of seeded random graphs, against the test's own reckoning.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "plan/plan.h"
#include "unit/support/random_graph.h"

namespace tarn {
namespace {

/// A random graph of models named by their ids, planned with a random window and half of the
/// time an Anchor; `parents` lists the selected ones.
struct Case {
  Manifest manifest;
  Selection selection;
  Window window;
  std::optional<std::string> anchor;
  std::map<std::string, std::vector<std::string>> parents;
  std::expected<Plan, PlanError> plan;
  std::map<std::string, std::size_t> at;  // each model's place in the plan

  explicit Case(std::uint64_t seed) {
    testing::Dice dice{std::mt19937_64(seed)};
    testing::random_graph(dice, manifest, selection, seed % 2 ? 12 : 30, seed % 2);
    window.start.days = 19'000 + static_cast<std::int64_t>(dice.below(2000));
    window.end.days = window.start.days + static_cast<std::int64_t>(dice.below(43)) - 2;
    for (const std::string& id : selection) {
      std::ranges::copy_if(manifest.nodes.at(id).depends_on, std::back_inserter(parents[id]),
                           [&](const std::string& parent) { return selection.contains(parent); });
    }
    if (!selection.empty() && dice.chance(50)) {
      anchor = std::next(parents.begin(), dice.below(parents.size()))->first;
    }
    plan = generate(manifest, selection, window, 90, anchor);
    for (std::size_t i = 0; plan && i < plan->models.size(); ++i) {
      at[plan->models[i].name] = i;
    }
  }

  const PlannedModel& model(const std::string& id) const { return plan->models.at(at.at(id)); }

  std::set<std::string> ancestors_of(const std::string& id) const {
    std::set<std::string> seen;
    for (std::vector<std::string> stack = parents.at(id); !stack.empty();) {
      const std::string next = stack.back();
      stack.pop_back();
      if (seen.insert(next).second) {
        stack.insert(stack.end(), parents.at(next).begin(), parents.at(next).end());
      }
    }
    return seen;
  }

  /// `from`'s planned window widened by the meta of `by`, downstream of `upstream`.
  void widen(std::optional<Window>& into, const std::string& from, const std::string& by,
             const std::string& upstream) const {
    const TarnMeta meta = manifest.nodes.at(by).meta.value_or(TarnMeta{});
    auto amount = [&](const auto& overrides, std::int64_t fallback) {
      const auto found = overrides.find(upstream);
      return found == overrides.end() ? fallback : found->second;
    };
    const Window w{
        shift_back(model(from).event_time_start, amount(meta.lookback_overrides, meta.lookback),
                   meta.lookback_unit),
        shift_forward(model(from).event_time_end, amount(meta.lookahead_overrides, meta.lookahead),
                      meta.lookahead_unit)};
    into = into ? Window{std::min(into->start, w.start), std::max(into->end, w.end)} : w;
  }
};

TEST(PlanProperties, EveryModelFollowsItsSelectedParentsOrLeadsBackToTheAnchorUnlessTheyCycle) {
  constexpr std::uint64_t kSeeds = 2000;
  std::uint64_t cycles = 0;
  for (std::uint64_t seed = 0; seed < kSeeds; ++seed) {
    const Case c(seed);  // odd seeds now and then make cycles
    const bool cyclic = std::ranges::any_of(c.parents, [&](const auto& entry) {
      return c.ancestors_of(entry.first).contains(entry.first);
    });
    cycles += cyclic;
    ASSERT_EQ(c.plan ? "planned" : c.plan.error().message(),
              cyclic ? "the selected models form a cycle and have no Entry Node -- this shouldn't "
                       "be possible against a real dbt-compiled manifest; check that --manifest "
                       "points at a genuine `dbt compile`/`dbt parse` output"
                     : "planned")
        << seed;
    if (cyclic) {
      continue;
    }
    const auto upstream = c.anchor ? c.ancestors_of(*c.anchor) : std::set<std::string>{};
    std::size_t entry_nodes = 0;
    for (const auto& [id, parents] : c.parents) {
      const std::string where = "seed " + std::to_string(seed) + ", " + id;
      std::uint64_t layer = 0;
      std::optional<Window> forward, backward;
      for (const std::string& parent : parents) {
        EXPECT_LT(c.at.at(parent), c.at.at(id)) << where;
        layer = std::max(layer, c.model(parent).layer + 1);
        c.widen(forward, parent, id, parent);
      }
      // An ancestor of the Anchor covers what its consumers on the way need.
      for (const auto& [child, its_parents] :
           upstream.contains(id) ? c.parents : decltype(c.parents){}) {
        if ((child == c.anchor || upstream.contains(child)) &&
            std::ranges::count(its_parents, id)) {
          c.widen(backward, child, child, id);
        }
      }
      EXPECT_EQ(c.model(id).layer, layer) << where;
      EXPECT_EQ(c.model(id).depends_on, parents) << where;
      // The Entry Nodes open the order, in byte order of their ids.
      EXPECT_TRUE(!parents.empty() || c.at.at(id) == entry_nodes++) << where;
      const Window expected = upstream.contains(id)               ? *backward
                              : id == c.anchor || parents.empty() ? c.window
                                                                  : *forward;
      EXPECT_EQ(format_date(c.model(id).event_time_start) + format_date(c.model(id).event_time_end),
                format_date(expected.start) + format_date(expected.end))
          << where << (c.anchor ? ", anchor " + *c.anchor : "");
    }
  }
  EXPECT_GT(cycles, kSeeds / 40) << "the generator should make cycles often enough";
}

}  // namespace
}  // namespace tarn
