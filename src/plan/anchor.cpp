#include <algorithm>
#include <limits>

#include "plan/graph.h"

namespace tarn::plan_detail {

namespace {

constexpr Index no_index = std::numeric_limits<Index>::max();

std::string selected_names_listing(const SelectedGraph& graph) {
  std::vector<std::string_view> names = graph.names;
  std::sort(names.begin(), names.end());
  std::string listing;
  for (std::size_t i = 0; i < names.size(); ++i) {
    listing += i == 0 ? "" : ", ";
    listing += names[i];
  }
  return listing;
}

PlanError not_in_selection(const SelectedGraph& graph, const std::string& anchor) {
  PlanError error;
  error.kind = PlanError::Kind::anchor_not_in_selection;
  error.anchor = anchor;
  error.selected_count = graph.size();
  error.listing = selected_names_listing(graph);
  return error;
}

/// Of several selected models sharing the name, the one with the smallest id.
std::optional<Index> find_by_name(const SelectedGraph& graph, const std::string& name) {
  for (Index i = 0; i < graph.size(); ++i) {
    if (graph.names[i] == name) {
      return i;
    }
  }
  return std::nullopt;
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

std::expected<std::vector<std::optional<Window>>, PlanError> seed_anchor_windows(
    const SelectedGraph& graph, const std::string& anchor, Window anchor_window) {
  const auto anchor_index = find_by_name(graph, anchor);
  if (!anchor_index) {
    return std::unexpected(not_in_selection(graph, anchor));
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
          widen_through_edge(*seeded[consumer], graph.models[consumer], graph.names[upstream]);
      window = window ? Window{std::min(window->start, widened.start),
                               std::max(window->end, widened.end)}
                      : widened;
    }
    if (upstream != *anchor_index) {
      seeded[upstream] = window;
    }
  }
  return seeded;
}

}  // namespace tarn::plan_detail
