#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "plan/graph.h"

namespace tarn::plan_detail {

namespace {

std::vector<const ManifestNode*> selected_nodes_by_id(const Manifest& manifest,
                                                      const Selection& selection) {
  std::vector<const ManifestNode*> nodes;
  nodes.reserve(selection.size());
  for (const std::string& id : selection) {
    // Selections come from the manifest's own models; an id it lacks has
    // nothing to plan and is left out rather than trusted.
    if (const auto found = manifest.nodes.find(id); found != manifest.nodes.end()) {
      nodes.push_back(&found->second);
    }
  }
  std::sort(nodes.begin(), nodes.end(), [](auto* a, auto* b) { return a->id < b->id; });
  return nodes;
}

std::int64_t amount_for(const std::unordered_map<std::string, std::int64_t>& overrides,
                        const std::string& upstream_name, std::int64_t fallback) {
  if (overrides.empty()) {
    return fallback;
  }
  const auto found = overrides.find(upstream_name);
  return found == overrides.end() ? fallback : found->second;
}

}  // namespace

SelectedGraph build_selected_graph(const Manifest& manifest, const Selection& selection) {
  SelectedGraph graph;
  graph.nodes = selected_nodes_by_id(manifest, selection);
  std::unordered_map<std::string_view, Index> index_of;
  index_of.reserve(graph.nodes.size());
  for (Index i = 0; i < graph.nodes.size(); ++i) {
    index_of.emplace(graph.nodes[i]->id, i);
  }
  std::vector<Index> row;
  for (const ManifestNode* node : graph.nodes) {
    row.clear();
    for (const std::string& parent : node->depends_on) {
      if (const auto found = index_of.find(parent); found != index_of.end()) {
        row.push_back(found->second);
      }
    }
    graph.parents.push_row(row);
  }
  return graph;
}

const TarnMeta& meta_or_default(const ManifestNode& node) {
  static const TarnMeta no_meta;
  return node.meta ? *node.meta : no_meta;
}

Window widen_through_edge(Window source, const TarnMeta& downstream_meta,
                          const std::string& upstream_name) {
  const std::int64_t back =
      amount_for(downstream_meta.lookback_overrides, upstream_name, downstream_meta.lookback);
  const std::int64_t ahead =
      amount_for(downstream_meta.lookahead_overrides, upstream_name, downstream_meta.lookahead);
  return {shift_back(source.start, back, downstream_meta.lookback_unit),
          shift_forward(source.end, ahead, downstream_meta.lookahead_unit)};
}

}  // namespace tarn::plan_detail
