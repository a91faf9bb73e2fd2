#pragma once
// Random model graphs for property tests of the planner and the plan
// document: a manifest, a selection and the ids in the order they were made.
// Everything is drawn from a caller's std::mt19937_64, so a seed names a case.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "manifest/manifest.h"

namespace tarn::testing {

struct GraphShape {
  std::size_t max_models = 30;
  std::int64_t min_amount = 0;  // negative to allow narrowing settings
  std::int64_t max_amount = 6;
  bool cycles = false;        // now and then an edge back to a later model
  bool shared_names = false;  // names drawn from a small pool, so they repeat
};

inline GraphShape with_amounts(std::int64_t min_amount, std::int64_t max_amount) {
  GraphShape shape;
  shape.min_amount = min_amount;
  shape.max_amount = max_amount;
  return shape;
}

struct RandomGraph {
  Manifest manifest;
  Selection selection;
  std::vector<std::string> ids;  // creation order; parents always come earlier unless cyclic
  bool has_back_edges = false;
};

class GraphDice {
 public:
  explicit GraphDice(std::mt19937_64& rng) : rng_(rng) {}

  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
  }
  bool chance(double probability) { return std::bernoulli_distribution(probability)(rng_); }
  std::int64_t between(std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(rng_);
  }
  WindowUnit unit() { return static_cast<WindowUnit>(below(4)); }

 private:
  std::mt19937_64& rng_;
};

inline TarnMeta random_meta(GraphDice& dice, const GraphShape& shape,
                            const std::vector<std::string>& names) {
  TarnMeta meta;
  meta.lookback = dice.between(shape.min_amount, shape.max_amount);
  meta.lookback_unit = dice.unit();
  meta.lookahead = dice.between(shape.min_amount, shape.max_amount);
  meta.lookahead_unit = dice.unit();
  for (std::size_t i = dice.below(3); i > 0 && !names.empty(); --i) {
    auto& overrides = dice.chance(0.5) ? meta.lookback_overrides : meta.lookahead_overrides;
    overrides[names[dice.below(names.size())]] = dice.between(shape.min_amount, shape.max_amount);
  }
  return meta;
}

inline RandomGraph random_graph(std::mt19937_64& rng, const GraphShape& shape = {}) {
  GraphDice dice(rng);
  RandomGraph graph;
  const std::size_t models = 1 + dice.below(shape.max_models);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < models; ++i) {
    // A random package letter makes the byte order of ids differ from the
    // order in which the models were made.
    graph.ids.push_back("model." + std::string(1, static_cast<char>('a' + dice.below(6))) + ".n" +
                        std::to_string(i));
    names.push_back(shape.shared_names ? "m" + std::to_string(dice.below(4))
                                       : "m" + std::to_string(i));
  }
  ManifestNode& source = graph.manifest.nodes["source.a.raw.events"];
  source.id = "source.a.raw.events";
  source.name = "events";
  source.is_source = true;
  for (std::size_t i = 0; i < models; ++i) {
    ManifestNode node;
    node.id = graph.ids[i];
    node.name = names[i];
    for (std::size_t p = dice.below(4); p > 0; --p) {
      if (shape.cycles && dice.chance(0.05)) {
        const std::size_t target = dice.below(models);
        graph.has_back_edges = graph.has_back_edges || target >= i;
        node.depends_on.push_back(graph.ids[target]);
      } else if (i > 0 && dice.chance(0.85)) {
        node.depends_on.push_back(graph.ids[dice.below(i)]);
      } else {
        node.depends_on.push_back(dice.chance(0.5) ? "source.a.raw.events" : "seed.a.codes");
      }
    }
    if (dice.chance(0.7)) {
      node.event_time = "event_at";
    }
    if (dice.chance(0.75)) {
      node.meta = random_meta(dice, shape, names);
    }
    graph.manifest.nodes[node.id] = node;
    if (dice.chance(0.8)) {
      graph.selection.insert(node.id);
    }
  }
  return graph;
}

/// The same manifest with its nodes and override maps inserted in another
/// order into maps of another bucket count.
inline Manifest reshuffled(const Manifest& manifest, std::mt19937_64& rng) {
  std::vector<ManifestNode> nodes;
  for (const auto& [id, node] : manifest.nodes) {
    nodes.push_back(node);
  }
  std::shuffle(nodes.begin(), nodes.end(), rng);
  auto reinsert = [&rng](const std::unordered_map<std::string, std::int64_t>& map) {
    std::vector<std::pair<std::string, std::int64_t>> entries(map.begin(), map.end());
    std::shuffle(entries.begin(), entries.end(), rng);
    std::unordered_map<std::string, std::int64_t> out(1 + rng() % 64);
    out.insert(entries.begin(), entries.end());
    return out;
  };
  Manifest out{manifest.generated_at, {}};
  out.nodes.rehash(1 + rng() % 512);
  for (ManifestNode& node : nodes) {
    if (node.meta) {
      node.meta->lookback_overrides = reinsert(node.meta->lookback_overrides);
      node.meta->lookahead_overrides = reinsert(node.meta->lookahead_overrides);
    }
    out.nodes.emplace(node.id, std::move(node));
  }
  return out;
}

inline Selection reshuffled(const Selection& selection, std::mt19937_64& rng) {
  std::vector<std::string> ids(selection.begin(), selection.end());
  std::shuffle(ids.begin(), ids.end(), rng);
  Selection out(1 + rng() % 512);
  out.insert(ids.begin(), ids.end());
  return out;
}

}  // namespace tarn::testing
