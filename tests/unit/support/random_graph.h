#pragma once
// Random model graphs for the planner's property test and its fuzz target; the dice name a case.

#include <random>
#include <span>
#include <string>
#include <vector>

#include "manifest/manifest.h"

namespace tarn::testing {

struct Dice {
  std::mt19937_64 rng;
  std::size_t below(std::size_t n) { return rng() % n; }
  bool chance(std::size_t percent) { return below(100) < percent; }
  std::int64_t amount() { return static_cast<std::int64_t>(below(13)) - 4; }
};

/// Up to `models` models "model.<random letter>.n<i>", so that id order is not creation order,
/// named by their ids or drawn from `names`; parents are earlier models, a source and, with
/// `cycles`, now and then any model; a fifth are left unselected.
template <class Dice>
void random_graph(Dice& dice, Manifest& manifest, Selection& selection, std::size_t models,
                  bool cycles = false, std::span<const char* const> names = {}) {
  models = 1 + dice.below(models);
  std::vector<std::string> ids, given;
  for (std::size_t i = 0; i < models; ++i) {
    ids.push_back("model." + std::string{char('a' + dice.below(6))} + ".n" + std::to_string(i));
    given.push_back(names.empty() ? ids.back() : names[dice.below(names.size())]);
  }
  for (std::size_t i = 0; i < models; ++i) {
    ManifestNode& node = manifest.nodes[ids[i]];
    node.id = ids[i];
    node.name = given[i];
    for (std::size_t p = dice.below(4); p > 0; --p) {
      node.depends_on.push_back(cycles && dice.chance(5)   ? ids[dice.below(models)]
                                : i > 0 && dice.chance(85) ? ids[dice.below(i)]
                                                           : "source.a.raw.events");
    }
    node.event_time = dice.chance(70) ? std::optional<std::string>("at") : std::nullopt;
    if (dice.chance(75)) {
      TarnMeta& meta = node.meta.emplace();
      meta.lookback = dice.amount();
      meta.lookahead = dice.amount();
      meta.lookback_unit = static_cast<WindowUnit>(dice.below(4));
      meta.lookahead_unit = static_cast<WindowUnit>(dice.below(4));
      for (std::size_t n = dice.below(3); n > 0; --n) {
        auto& overrides = dice.chance(50) ? meta.lookback_overrides : meta.lookahead_overrides;
        overrides[given[dice.below(models)]] = dice.amount();
      }
    }
    if (dice.chance(80)) {
      selection.insert(node.id);
    }
  }
}

}  // namespace tarn::testing
