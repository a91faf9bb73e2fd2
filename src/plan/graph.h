#pragma once
// The planner's working graph: selected models interned to dense indices
// whose order is the byte order of their unique ids, so that sorting a batch
// of ready models by id is a sort of small integers.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"
#include "plan/plan.h"

namespace tarn::plan_detail {

using Index = std::uint32_t;

/// Adjacency lists packed into one array: row i is targets[offsets[i], offsets[i + 1]).
struct IndexGraph {
  std::vector<std::size_t> offsets{0};
  std::vector<Index> targets;

  std::size_t size() const { return offsets.size() - 1; }
  std::span<const Index> row(Index i) const {
    return {targets.data() + offsets[i], targets.data() + offsets[i + 1]};
  }
  void push_row(std::span<const Index> row);
  /// Row P lists every i whose row holds P, ascending, once per occurrence.
  IndexGraph transposed() const;
};

/// Kahn's algorithm over rows read as parents lists; each batch of newly ready
/// indices is sorted ascending. Absent when a cycle leaves some index unplaced.
std::optional<std::vector<Index>> kahn_order(const IndexGraph& parents);

/// What the planner reads of one selected model, gathered in a single visit to
/// its manifest node; a model without meta reads as lookback and lookahead 0 day.
struct ModelFacts {
  std::int64_t lookback = 0;
  std::int64_t lookahead = 0;
  WindowUnit lookback_unit = WindowUnit::day;
  WindowUnit lookahead_unit = WindowUnit::day;
  bool declares_meta = false;
  bool has_event_time = false;
  const TarnMeta* overrides = nullptr;  // the model's meta, when it has override entries
};

struct SelectedGraph {
  std::vector<ModelFacts> models;  // by index, ids in ascending byte order
  /// By index, into name_text: the printed name ("name.vN" for a versioned
  /// model), which is what every report shows.
  std::vector<std::string_view> names;
  /// By index: the manifest's bare name, a prefix of the printed one.
  std::vector<std::string_view> bare_names;
  std::vector<char> name_text;  // every printed name, packed: read once per edge
  IndexGraph parents;           // selected parents, manifest order

  std::size_t size() const { return models.size(); }
};

SelectedGraph build_selected_graph(const Manifest& manifest, const Selection& selection);

/// Widens a window through the edge from `upstream` to the model whose meta
/// governs the edge: lookback moves the start, lookahead the end. An override
/// keyed by the upstream's printed name wins over one keyed by its bare name.
Window widen_through_edge(Window source, const ModelFacts& downstream, const SelectedGraph& graph,
                          Index upstream);

struct AnchorSeeds {
  Index anchor = 0;
  /// By index: fixed windows for the anchor and its selected ancestors,
  /// worked out backwards from the anchor window; absent for every other.
  std::vector<std::optional<Window>> windows;
};

std::expected<AnchorSeeds, PlanError> seed_anchor_windows(const SelectedGraph& graph,
                                                          const std::string& anchor,
                                                          Window anchor_window);

}  // namespace tarn::plan_detail
