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
#include "select/select.h"

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
  std::vector<ModelFacts> models;       // by index, ids in ascending byte order
  std::vector<std::string_view> names;  // by index, into name_text
  std::vector<char> name_text;          // every name, packed: read once per edge
  IndexGraph parents;                   // selected parents, manifest order

  std::size_t size() const { return models.size(); }
};

SelectedGraph build_selected_graph(const Manifest& manifest, const Selection& selection);

/// Widens a window through the edge from `upstream_name` to the model whose
/// meta governs the edge: lookback moves the start, lookahead the end.
Window widen_through_edge(Window source, const ModelFacts& downstream,
                          std::string_view upstream_name);

/// Fixed windows for the named model and its selected ancestors, worked out
/// backwards from the anchor window; absent for every other index.
std::expected<std::vector<std::optional<Window>>, PlanError> seed_anchor_windows(
    const SelectedGraph& graph, const std::string& anchor, Window anchor_window);

}  // namespace tarn::plan_detail
