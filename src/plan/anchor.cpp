#include <algorithm>
#include <limits>

#include "plan/graph.h"

namespace tarn::plan_detail {

namespace {

constexpr Index no_index = std::numeric_limits<Index>::max();

std::string sorted_listing(std::vector<std::string_view> names) {
  std::sort(names.begin(), names.end());
  std::string listing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    listing += i == 0 ? "" : ", ";
    listing += names[i];
  }
  return listing;
}

PlanError anchor_error(PlanError::Kind kind, const std::string& anchor,
                       std::vector<std::string_view> names) {
  PlanError error;
  error.kind = kind;
  error.anchor = anchor;
  error.selected_count = names.size();
  error.listing = sorted_listing(std::move(names));
  return error;
}

/// The model whose printed name is the anchor text; of several sharing it,
/// the one with the smallest id. A bare name stands for a versioned model
/// only when a single one of its versions is selected.
std::expected<Index, PlanError> resolve_anchor(const SelectedGraph& graph,
                                               const std::string& anchor) {
  std::vector<Index> versions;
  for (Index i = 0; i < graph.size(); ++i) {
    if (graph.names[i] == anchor) {
      return i;
    }
    if (graph.bare_names[i] == anchor) {
      versions.push_back(i);
    }
  }
  if (versions.size() == 1) {
    return versions.front();
  }
  if (versions.empty()) {
    return std::unexpected(
        anchor_error(PlanError::Kind::anchor_not_in_selection, anchor, graph.names));
  }
  std::vector<std::string_view> names;
  for (Index version : versions) {
    names.push_back(graph.names[version]);
  }
  return std::unexpected(
      anchor_error(PlanError::Kind::anchor_names_several_versions, anchor, std::move(names)));
}

std::vector<bool> ancestors_of(const IndexGraph& parents, Index start) {
  std::vector<bool> is_ancestor(parents.size(), false);
  const auto first = parents.row(start);
  std::vector<Index> stack(first.begin(), first.end());
  while (!stack.empty()) {
    const Index id = stack.back();
    stack.pop_back();
    if (!is_ancestor[id]) {
      is_ancestor[id] = true;
      const auto row = parents.row(id);
      stack.insert(stack.end(), row.begin(), row.end());
    }
  }
  return is_ancestor;
}

/// The anchor and its ancestors, renumbered in ascending order so that the
/// local numbering keeps the byte order of ids, with each member's row
/// listing its path consumers.
struct PathGraph {
  std::vector<Index> members;  // local to global index
  IndexGraph consumers;
};

PathGraph path_graph(const IndexGraph& parents, Index anchor) {
  std::vector<bool> on_path = ancestors_of(parents, anchor);
  on_path[anchor] = true;
  PathGraph path;
  std::vector<Index> local(parents.size(), no_index);
  for (Index i = 0; i < parents.size(); ++i) {
    if (on_path[i]) {
      local[i] = static_cast<Index>(path.members.size());
      path.members.push_back(i);
    }
  }
  const IndexGraph children = parents.transposed();
  std::vector<Index> row;
  for (Index member : path.members) {
    row.clear();
    if (member != anchor) {
      for (Index child : children.row(member)) {
        if (on_path[child]) {
          row.push_back(local[child]);
        }
      }
    }
    path.consumers.push_row(row);
  }
  return path;
}

}  // namespace

std::expected<AnchorSeeds, PlanError> seed_anchor_windows(const SelectedGraph& graph,
                                                          const std::string& anchor,
                                                          Window anchor_window) {
  const auto anchor_index = resolve_anchor(graph, anchor);
  if (!anchor_index) {
    return std::unexpected(std::move(anchor_index.error()));
  }
  const PathGraph path = path_graph(graph.parents, *anchor_index);
  // Consumers read as parents: the anchor comes first, every ancestor after
  // all the models that consume it on the way to the anchor.
  const auto backward = kahn_order(path.consumers);
  if (!backward) {
    return std::unexpected(PlanError{});
  }

  std::vector<std::optional<Window>> seeded(graph.size());
  seeded[*anchor_index] = anchor_window;
  for (Index local : *backward) {
    const Index upstream = path.members[local];
    std::optional<Window> window;
    for (Index consumer_local : path.consumers.row(local)) {
      const Index consumer = path.members[consumer_local];
      const Window widened =
          widen_through_edge(*seeded[consumer], graph.models[consumer], graph, upstream);
      window = window ? Window{std::min(window->start, widened.start),
                               std::max(window->end, widened.end)}
                      : widened;
    }
    if (upstream != *anchor_index) {
      seeded[upstream] = window;
    }
  }
  return AnchorSeeds{*anchor_index, std::move(seeded)};
}

}  // namespace tarn::plan_detail
