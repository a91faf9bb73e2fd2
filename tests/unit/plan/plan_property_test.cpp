// Properties of the planner over thousands of random graphs with fixed seeds:
// ordering, layers, Entry Node windows, widening, anchor mode, cycles, and
// independence from the order of the manifest's and the selection's maps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "date/date.h"
#include "plan/plan.h"
#include "unit/support/random_graph.h"

namespace tarn {
namespace {

using testing::GraphShape;
using testing::random_graph;
using testing::RandomGraph;
using testing::reshuffled;

constexpr std::uint64_t kCases = 3000;

Window random_window(std::mt19937_64& rng) {
  testing::GraphDice dice(rng);
  const Date start{dice.between(19'000, 21'000)};
  return Window{start, Date{start.days + dice.between(0, 40)}};
}

/// What the tests know independently of the planner: the selected parents of
/// each selected model, in manifest order, and the model of each name.
struct Reference {
  const RandomGraph& graph;
  std::map<std::string, std::vector<std::string>> parents;
  std::map<std::string, std::string> id_of_name;

  explicit Reference(const RandomGraph& g) : graph(g) {
    for (const std::string& id : graph.selection) {
      const ManifestNode& node = graph.manifest.nodes.at(id);
      id_of_name[node.name] = id;
      auto& list = parents[id];
      for (const std::string& parent : node.depends_on) {
        if (graph.selection.contains(parent)) {
          list.push_back(parent);
        }
      }
    }
  }

  const ManifestNode& node(const std::string& id) const { return graph.manifest.nodes.at(id); }

  std::set<std::string> ancestors_of(const std::string& id) const {
    std::set<std::string> seen;
    std::vector<std::string> stack = parents.at(id);
    while (!stack.empty()) {
      const std::string next = stack.back();
      stack.pop_back();
      if (seen.insert(next).second) {
        stack.insert(stack.end(), parents.at(next).begin(), parents.at(next).end());
      }
    }
    return seen;
  }

  bool has_cycle() const {
    std::map<std::string, int> state;  // 1 on the path, 2 done
    std::function<bool(const std::string&)> visit = [&](const std::string& id) {
      state[id] = 1;
      for (const std::string& parent : parents.at(id)) {
        if (state[parent] == 1 || (state[parent] == 0 && visit(parent))) {
          return true;
        }
      }
      state[id] = 2;
      return false;
    };
    return std::any_of(parents.begin(), parents.end(), [&](const auto& entry) {
      return state[entry.first] == 0 && visit(entry.first);
    });
  }
};

/// A window widened through the edge from the model named `upstream_name`
/// into `downstream`, whose settings govern the edge; the same rule serves
/// both directions.
Window widened(Window upstream, const ManifestNode& downstream, const std::string& upstream_name) {
  const TarnMeta meta = downstream.meta.value_or(TarnMeta{});
  const auto back = meta.lookback_overrides.find(upstream_name);
  const auto ahead = meta.lookahead_overrides.find(upstream_name);
  return Window{
      shift_back(upstream.start,
                 back == meta.lookback_overrides.end() ? meta.lookback : back->second,
                 meta.lookback_unit),
      shift_forward(upstream.end,
                    ahead == meta.lookahead_overrides.end() ? meta.lookahead : ahead->second,
                    meta.lookahead_unit)};
}

Window widened_backwards(Window consumer, const ManifestNode& consumer_node,
                         const std::string& upstream_name) {
  return widened(consumer, consumer_node, upstream_name);
}

struct Planned {
  std::map<std::string, std::size_t> position;  // by id
  std::map<std::string, Window> window;
  std::map<std::string, std::uint64_t> layer;
};

Planned index_plan(const Plan& plan, const Reference& ref) {
  Planned out;
  for (std::size_t i = 0; i < plan.models.size(); ++i) {
    const PlannedModel& model = plan.models[i];
    const std::string& id = ref.id_of_name.at(model.name);
    out.position[id] = i;
    out.window[id] = Window{model.event_time_start, model.event_time_end};
    out.layer[id] = model.layer;
  }
  return out;
}

Plan plan_or_fail(const RandomGraph& graph, Window window, std::int64_t limit,
                  const std::optional<std::string>& anchor = std::nullopt) {
  auto plan = generate(graph.manifest, graph.selection, window, limit, anchor);
  EXPECT_TRUE(plan.has_value()) << plan.error().message();
  return plan.value_or(Plan{});
}

TEST(PlanProperties, ModelsAreATopologicalOrderWithLayersOneBelowTheDeepestParent) {
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const RandomGraph graph = random_graph(rng);
    const Reference ref(graph);
    const Plan plan = plan_or_fail(graph, random_window(rng), 90);
    ASSERT_EQ(plan.models.size(), graph.selection.size());
    const Planned planned = index_plan(plan, ref);
    std::vector<std::string> entry_ids;
    for (const auto& [id, parents] : ref.parents) {
      std::uint64_t expected_layer = 0;
      std::vector<std::string> parent_names;
      for (const std::string& parent : parents) {
        ASSERT_LT(planned.position.at(parent), planned.position.at(id));
        expected_layer = std::max(expected_layer, planned.layer.at(parent) + 1);
        parent_names.push_back(ref.node(parent).name);
      }
      EXPECT_EQ(planned.layer.at(id), expected_layer);
      EXPECT_EQ(plan.models[planned.position.at(id)].depends_on, parent_names);
      if (parents.empty()) {
        entry_ids.push_back(id);
      }
    }
    for (std::size_t i = 1; i < plan.models.size(); ++i) {
      ASSERT_LE(plan.models[i - 1].layer, plan.models[i].layer);
    }
    // The Entry Nodes open the order, in byte order of their ids.
    for (std::size_t i = 0; i < entry_ids.size(); ++i) {
      EXPECT_EQ(planned.position.at(entry_ids[i]), i);
    }
  }
}

TEST(PlanProperties, EntryNodesCarryTheAnchorWindow) {
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const RandomGraph graph = random_graph(rng, testing::with_amounts(-5, 5));
    const Reference ref(graph);
    const Window window = random_window(rng);
    const Plan plan = plan_or_fail(graph, window, 90);
    const Planned planned = index_plan(plan, ref);
    EXPECT_EQ(plan.anchor_window, window);
    for (const auto& [id, parents] : ref.parents) {
      if (parents.empty()) {
        EXPECT_EQ(planned.window.at(id), window) << id;
      }
    }
  }
}

TEST(PlanProperties, ChildWindowIsTheUnionOfItsParentsWidenedWindows) {
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const RandomGraph graph = random_graph(rng, testing::with_amounts(0, 8));
    const Reference ref(graph);
    const Plan plan = plan_or_fail(graph, random_window(rng), 90);
    const Planned planned = index_plan(plan, ref);
    for (const auto& [id, parents] : ref.parents) {
      if (parents.empty()) {
        continue;
      }
      const Window child = planned.window.at(id);
      bool start_reached = false;
      bool end_reached = false;
      for (const std::string& parent : parents) {
        const Window own = planned.window.at(parent);
        const Window wide = widened(own, ref.node(id), ref.node(parent).name);
        // With amounts of zero or more the child covers the parent's window
        // as widened, and so the parent's own window too.
        EXPECT_LE(child.start, wide.start) << id << " from " << parent;
        EXPECT_GE(child.end, wide.end) << id << " from " << parent;
        EXPECT_LE(child.start, own.start);
        EXPECT_GE(child.end, own.end);
        start_reached = start_reached || child.start == wide.start;
        end_reached = end_reached || child.end == wide.end;
      }
      EXPECT_TRUE(start_reached && end_reached) << id << " is wider than every parent makes it";
    }
  }
}

TEST(PlanProperties, AnchorModeFixesTheAnchorAndWidensItsAncestorsBackwards) {
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const RandomGraph graph = random_graph(rng, testing::with_amounts(0, 8));
    if (graph.selection.empty()) {
      continue;
    }
    const Reference ref(graph);
    const Window window = random_window(rng);
    auto pick = ref.parents.begin();
    std::advance(pick, testing::GraphDice(rng).below(ref.parents.size()));
    const std::string anchor_id = pick->first;
    const std::string anchor = ref.node(anchor_id).name;
    const Plan anchored = plan_or_fail(graph, window, 90, anchor);
    const Plan plain = plan_or_fail(graph, window, 90);
    const Planned planned = index_plan(anchored, ref);
    EXPECT_EQ(anchored.anchor_model, anchor);
    EXPECT_EQ(planned.window.at(anchor_id), window);

    const std::set<std::string> ancestors = ref.ancestors_of(anchor_id);
    for (const auto& [id, parents] : ref.parents) {
      if (parents.empty() && !ancestors.contains(id) && id != anchor_id) {
        EXPECT_EQ(planned.window.at(id), window) << id;
      }
    }
    // Every parent of the Anchor or of an ancestor is itself an ancestor,
    // and covers what that consumer needs of it.
    for (const auto& [id, parents] : ref.parents) {
      if (id != anchor_id && !ancestors.contains(id)) {
        continue;
      }
      for (const std::string& parent : parents) {
        const Window needed =
            widened_backwards(planned.window.at(id), ref.node(id), ref.node(parent).name);
        EXPECT_LE(planned.window.at(parent).start, needed.start) << parent << " for " << id;
        EXPECT_GE(planned.window.at(parent).end, needed.end) << parent << " for " << id;
      }
    }
    // The order, the layers and the parents are those of the plan without
    // an Anchor; only windows differ.
    ASSERT_EQ(anchored.models.size(), plain.models.size());
    for (std::size_t i = 0; i < plain.models.size(); ++i) {
      EXPECT_EQ(anchored.models[i].name, plain.models[i].name);
      EXPECT_EQ(anchored.models[i].layer, plain.models[i].layer);
      EXPECT_EQ(anchored.models[i].depends_on, plain.models[i].depends_on);
    }
  }
}

TEST(PlanProperties, CycleIsReportedExactlyWhenTheSelectedModelsHoldOne) {
  std::uint64_t cycles_seen = 0;
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    GraphShape shape;
    shape.max_models = 12;
    shape.cycles = true;
    const RandomGraph graph = random_graph(rng, shape);
    const Reference ref(graph);
    const bool cyclic = ref.has_cycle();
    cycles_seen += cyclic ? 1 : 0;
    auto plan = generate(graph.manifest, graph.selection, random_window(rng), 90, std::nullopt);
    ASSERT_EQ(plan.has_value(), !cyclic);
    if (!plan) {
      EXPECT_EQ(plan.error().kind, PlanError::Kind::cycle);
    }
  }
  EXPECT_GT(cycles_seen, kCases / 20) << "the generator should make cycles often enough";
}

void expect_same_plan(const Plan& a, const Plan& b) {
  ASSERT_EQ(a.models.size(), b.models.size());
  for (std::size_t i = 0; i < a.models.size(); ++i) {
    const PlannedModel& x = a.models[i];
    const PlannedModel& y = b.models[i];
    EXPECT_EQ(x.name, y.name);
    EXPECT_EQ(x.event_time_start, y.event_time_start);
    EXPECT_EQ(x.event_time_end, y.event_time_end);
    EXPECT_EQ(x.lookback, y.lookback);
    EXPECT_EQ(x.lookahead, y.lookahead);
    EXPECT_EQ(x.lookback_unit, y.lookback_unit);
    EXPECT_EQ(x.lookahead_unit, y.lookahead_unit);
    EXPECT_EQ(x.depends_on, y.depends_on);
    EXPECT_EQ(x.layer, y.layer);
  }
  ASSERT_EQ(a.warnings.size(), b.warnings.size());
  for (std::size_t i = 0; i < a.warnings.size(); ++i) {
    EXPECT_EQ(a.warnings[i].model, b.warnings[i].model);
    EXPECT_EQ(a.warnings[i].message, b.warnings[i].message);
  }
}

TEST(PlanProperties, PlanDoesNotDependOnTheOrderOfTheManifestOrTheSelection) {
  GraphShape shape = testing::with_amounts(-4, 9);
  shape.shared_names = true;
  for (std::uint64_t seed = 0; seed < kCases; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const RandomGraph graph = random_graph(rng, shape);
    const Window window = random_window(rng);
    const std::int64_t limit = testing::GraphDice(rng).between(-5, 60);
    std::optional<std::string> anchor;
    if (!graph.selection.empty() && testing::GraphDice(rng).chance(0.5)) {
      anchor = graph.manifest.nodes.at(*graph.selection.begin()).name;
    }
    const auto first = generate(graph.manifest, graph.selection, window, limit, anchor);
    ASSERT_TRUE(first.has_value()) << first.error().message();
    for (int round = 0; round < 3; ++round) {
      const Manifest manifest = reshuffled(graph.manifest, rng);
      const Selection selection = reshuffled(graph.selection, rng);
      const auto again = generate(manifest, selection, window, limit, anchor);
      ASSERT_TRUE(again.has_value()) << again.error().message();
      expect_same_plan(*first, *again);
    }
  }
}

}  // namespace
}  // namespace tarn
