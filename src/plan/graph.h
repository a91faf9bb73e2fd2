#pragma once
// The planner's working graph: selected models interned to dense indices
// whose order is the byte order of their unique ids, so that sorting a batch
// of ready models by id is a sort of small integers.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
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

struct SelectedGraph {
  std::vector<const ManifestNode*> nodes;  // by index, ids in ascending byte order
  IndexGraph parents;                      // selected parents, manifest order
};

SelectedGraph build_selected_graph(const Manifest& manifest, const Selection& selection);

const TarnMeta& meta_or_default(const ManifestNode& node);

/// Widens a window through the edge from `upstream_name` to the model whose
/// meta governs the edge: lookback moves the start, lookahead the end.
Window widen_through_edge(Window source, const TarnMeta& downstream_meta,
                          const std::string& upstream_name);

/// Fixed windows for the named model and its selected ancestors, worked out
/// backwards from the anchor window; absent for every other index.
std::expected<std::vector<std::optional<Window>>, PlanError> seed_anchor_windows(
    const SelectedGraph& graph, const std::string& anchor, Window anchor_window);

}  // namespace tarn::plan_detail
