#include "plan/plan.h"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "util/text.h"

namespace tarn {

std::optional<std::string> Plan::default_yesterday_note() const {
  if (!default_yesterday) {
    return std::nullopt;
  }
  return fmt::format(
      "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node to "
      "yesterday ({})",
      format_date(anchor_window.start));
}

namespace {

using Index = std::size_t;
using Parents = std::vector<std::vector<Index>>;

const TarnMeta k_no_meta;  // a model without meta reads as lookback and lookahead 0 day

/// The selected models present in the manifest, indexed in ascending byte order of their ids.
struct SelectedGraph {
  std::vector<const ManifestNode*> nodes;
  std::vector<std::string> names;  // printed names ("name.vN" for a versioned model)
  Parents parents;                 // selected parents, manifest order

  std::size_t size() const { return nodes.size(); }
};

SelectedGraph selected_graph(const Manifest& manifest, const Selection& selection) {
  std::vector<std::pair<std::string_view, const ManifestNode*>> found;
  for (const std::string& id : selection) {
    // Selections come from the manifest's own models; an id it lacks has
    // nothing to plan and is left out rather than trusted.
    if (const auto node = manifest.nodes.find(id); node != manifest.nodes.end()) {
      found.emplace_back(id, &node->second);
    }
  }
  std::ranges::sort(found);
  std::unordered_map<std::string_view, Index> index_of;
  for (const auto& [id, node] : found) {
    index_of.emplace(id, index_of.size());
  }
  SelectedGraph graph;
  for (const auto& [id, node] : found) {
    graph.nodes.push_back(node);
    graph.names.push_back(printed_name(*node));
    std::vector<Index>& parents = graph.parents.emplace_back();
    for (const std::string& parent : node->depends_on) {
      if (const auto index = index_of.find(parent); index != index_of.end()) {
        parents.push_back(index->second);
      }
    }
  }
  return graph;
}

const TarnMeta& meta_of(const ManifestNode& node) {
  return node.meta ? *node.meta : k_no_meta;
}

/// An override keyed by the upstream's printed name wins over one keyed by its bare name.
std::int64_t amount_for(const std::unordered_map<std::string, std::int64_t>& overrides,
                        std::string_view printed_name, std::string_view bare_name,
                        std::int64_t fallback) {
  if (overrides.empty()) {
    return fallback;
  }
  auto found = overrides.find(std::string(printed_name));
  if (found == overrides.end() && bare_name.size() != printed_name.size()) {
    found = overrides.find(std::string(bare_name));
  }
  return found == overrides.end() ? fallback : found->second;
}

/// Widens a window through the edge from `upstream` to the model whose meta
/// governs the edge: lookback moves the start, lookahead the end.
Window widen_through_edge(Window source, const ManifestNode& downstream, const SelectedGraph& graph,
                          Index upstream) {
  const TarnMeta& meta = meta_of(downstream);
  const std::string_view printed = graph.names[upstream];
  const std::string_view bare = graph.nodes[upstream]->name;
  const std::int64_t back = amount_for(meta.lookback_overrides, printed, bare, meta.lookback);
  const std::int64_t ahead = amount_for(meta.lookahead_overrides, printed, bare, meta.lookahead);
  return {shift_back(source.start, back, meta.lookback_unit),
          shift_forward(source.end, ahead, meta.lookahead_unit)};
}

Window hull(const std::optional<Window>& window, Window widened) {
  return window ? Window{std::min(window->start, widened.start), std::max(window->end, widened.end)}
                : widened;
}

/// Kahn's algorithm; each batch of newly ready models comes in ascending
/// index order. Absent when a cycle leaves some model unplaced.
std::optional<std::vector<Index>> kahn_order(const Parents& parents) {
  Parents children(parents.size());
  std::vector<std::size_t> waiting(parents.size());
  std::vector<Index> order;  // doubles as the queue: everything before `head` has been taken
  for (Index i = 0; i < parents.size(); ++i) {
    waiting[i] = parents[i].size();
    for (Index parent : parents[i]) {
      children[parent].push_back(i);
    }
    if (waiting[i] == 0) {
      order.push_back(i);
    }
  }
  for (std::size_t head = 0; head < order.size(); ++head) {
    for (Index child : children[order[head]]) {
      if (--waiting[child] == 0) {
        order.push_back(child);
      }
    }
  }
  if (order.size() != parents.size()) {
    return std::nullopt;
  }
  return order;
}

std::string sorted_listing(std::vector<std::string> names) {
  std::ranges::sort(names);
  return fmt::format("{}", fmt::join(names, ", "));
}

/// The model whose printed name is the anchor text; of several sharing it,
/// the one with the smallest id. A bare name stands for a versioned model
/// only when a single one of its versions is selected.
std::expected<Index, std::string> resolve_anchor(const SelectedGraph& graph,
                                                 const std::string& anchor) {
  std::vector<std::string> versions;
  Index version = 0;
  for (Index i = 0; i < graph.size(); ++i) {
    if (graph.names[i] == anchor) {
      return i;
    }
    if (graph.nodes[i]->name == anchor) {
      versions.push_back(graph.names[i]);
      version = i;
    }
  }
  if (versions.size() == 1) {
    return version;
  }
  if (versions.empty()) {
    return std::unexpected(
        fmt::format("--anchor {} is not among the {} model(s) selected by --select: {}",
                    quoted_value(anchor), graph.size(), sorted_listing(graph.names)));
  }
  return std::unexpected(
      fmt::format("--anchor {} names a versioned model with {} versions selected by --select -- "
                  "pass one of them: {}",
                  quoted_value(anchor), versions.size(), sorted_listing(versions)));
}

/// The anchor's window, and for each selected ancestor the hull of what its
/// consumers on the way to the anchor need. In reverse plan order every
/// consumer's window is complete before its parents read it.
std::vector<std::optional<Window>> seed_anchor_windows(const SelectedGraph& graph,
                                                       const std::vector<Index>& order,
                                                       Index anchor, Window anchor_window) {
  std::vector<std::optional<Window>> seeded(graph.size());
  seeded[anchor] = anchor_window;
  for (auto model = order.rbegin(); model != order.rend(); ++model) {
    if (!seeded[*model]) {
      continue;
    }
    for (Index parent : graph.parents[*model]) {
      const Window widened =
          widen_through_edge(*seeded[*model], *graph.nodes[*model], graph, parent);
      seeded[parent] = hull(seeded[parent], widened);
    }
  }
  return seeded;
}

void add_warnings(Plan& plan, const std::string& name, const ManifestNode& node, Window window,
                  std::int64_t limit) {
  // Windows whose ends lie near the limits of the day range span more days than 64 bits hold.
  __extension__ using WideDays = __int128;
  const WideDays days = WideDays{window.end.days} - window.start.days + 1;
  if (days > limit) {
    plan.warnings.push_back(
        {name, fmt::format("expanded window ({} days) exceeds max_window_expansion_days ({})", days,
                           limit)});
  }
  if (node.meta && !node.event_time) {
    plan.warnings.push_back(
        {name,
         "declares config.meta.tarn (lookback/lookahead) but has no event_time configured -- "
         "this isn't a microbatch model in dbt's own terms, so this config has no real effect"});
  }
}

}  // namespace

std::expected<Plan, std::string> generate(const Manifest& manifest, const Selection& selection,
                                          std::optional<Window> explicit_window,
                                          std::int64_t max_window_expansion_days,
                                          const std::optional<std::string>& anchor) {
  Plan plan;
  plan.default_yesterday = !explicit_window;
  const Date day = yesterday();
  plan.anchor_window = explicit_window.value_or(Window{day, day});

  const SelectedGraph graph = selected_graph(manifest, selection);
  const auto order = kahn_order(graph.parents);
  if (!order) {
    return std::unexpected(
        "the selected models form a cycle and have no Entry Node -- this shouldn't be possible "
        "against a real dbt-compiled manifest; check that --manifest points at a genuine `dbt "
        "compile`/`dbt parse` output");
  }
  std::vector<std::optional<Window>> seeded(graph.size());
  if (anchor) {
    const auto anchor_index = resolve_anchor(graph, *anchor);
    if (!anchor_index) {
      return std::unexpected(anchor_index.error());
    }
    seeded = seed_anchor_windows(graph, *order, *anchor_index, plan.anchor_window);
    plan.anchor_model = graph.names[*anchor_index];
  }

  std::vector<Window> windows(graph.size());
  std::vector<std::uint64_t> layers(graph.size());
  for (Index model : *order) {
    const ManifestNode& node = *graph.nodes[model];
    const std::vector<Index>& parents = graph.parents[model];
    std::optional<Window> window = seeded[model];
    if (!window) {
      for (Index parent : parents) {
        window = hull(window, widen_through_edge(windows[parent], node, graph, parent));
      }
    }
    windows[model] = window.value_or(plan.anchor_window);
    add_warnings(plan, graph.names[model], node, windows[model], max_window_expansion_days);

    const TarnMeta& meta = meta_of(node);
    PlannedModel& planned = plan.models.emplace_back(
        graph.names[model], windows[model].start, windows[model].end, meta.lookback,
        meta.lookback_unit, meta.lookahead, meta.lookahead_unit, std::vector<std::string>{}, 0);
    for (Index parent : parents) {
      planned.depends_on.push_back(graph.names[parent]);
      planned.layer = std::max(planned.layer, layers[parent] + 1);
    }
    layers[model] = planned.layer;
  }
  return plan;
}

}  // namespace tarn
