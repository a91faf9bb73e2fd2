#include "plan/graph.h"

#include <algorithm>
#include <bit>
#include <functional>

namespace tarn::plan_detail {

namespace {

/// Ids packed into one buffer: sorting and lookups then compare bytes that sit
/// together in memory instead of chasing every manifest node.
struct PackedIds {
  std::vector<char> text;
  std::vector<std::string_view> ids;  // into text, by index
};

std::size_t common_prefix_length(const std::vector<std::string_view>& texts) {
  if (texts.empty()) {
    return 0;
  }
  std::size_t length = texts.front().size();
  for (std::string_view text : texts) {
    const auto mismatch =
        std::mismatch(text.begin(), text.begin() + std::min(length, text.size()), texts[0].begin());
    length = static_cast<std::size_t>(mismatch.first - text.begin());
  }
  return length;
}

/// The eight bytes after `offset` as one big-endian number, zero-padded: it
/// orders texts as their bytes do, up to ties.
std::uint64_t head_key(std::string_view text, std::size_t offset) {
  std::uint64_t key = 0;
  for (std::size_t i = offset; i < offset + 8; ++i) {
    key = (key << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  }
  return key;
}

/// Positions of `texts` in ascending byte order. Unique ids mostly share a
/// long prefix ("model.<package>."), so the bytes after it decide nearly
/// every comparison without touching the texts.
std::vector<std::size_t> byte_order(const std::vector<std::string_view>& texts) {
  const std::size_t prefix = common_prefix_length(texts);
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
  keyed.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    keyed.emplace_back(head_key(texts[i], prefix), i);
  }
  std::sort(keyed.begin(), keyed.end(), [&texts](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : texts[a.second] < texts[b.second];
  });
  std::vector<std::size_t> order;
  order.reserve(keyed.size());
  for (const auto& [key, position] : keyed) {
    order.push_back(position);
  }
  return order;
}

/// The selected models present in the manifest, in ascending byte order of id.
std::vector<const ManifestNode*> selected_nodes(const Manifest& manifest,
                                                const Selection& selection, PackedIds& packed) {
  std::vector<std::pair<std::size_t, const ManifestNode*>> found_nodes;  // id end, node
  found_nodes.reserve(selection.size());
  for (const std::string& id : selection) {
    // Selections come from the manifest's own models; an id it lacks has
    // nothing to plan and is left out rather than trusted.
    if (const auto found = manifest.nodes.find(id); found != manifest.nodes.end()) {
      packed.text.insert(packed.text.end(), id.begin(), id.end());
      found_nodes.emplace_back(packed.text.size(), &found->second);
    }
  }
  std::vector<std::string_view> ids;
  ids.reserve(found_nodes.size());
  std::size_t id_start = 0;
  for (const auto& [id_end, node] : found_nodes) {
    ids.emplace_back(packed.text.data() + id_start, id_end - id_start);
    id_start = id_end;
  }
  const std::vector<std::size_t> by_id = byte_order(ids);
  std::vector<const ManifestNode*> nodes;
  nodes.reserve(by_id.size());
  packed.ids.reserve(by_id.size());
  for (std::size_t position : by_id) {
    packed.ids.push_back(ids[position]);
    nodes.push_back(found_nodes[position].second);
  }
  return nodes;
}

/// Open-addressing map from a packed id to its index; the full hash is kept
/// per index so that most mismatches are settled without comparing bytes.
class IdTable {
 public:
  explicit IdTable(const std::vector<std::string_view>& ids)
      : ids_(ids), slots_(std::bit_ceil(2 * ids.size() + 1), 0), mask_(slots_.size() - 1) {
    hashes_.reserve(ids.size());
    for (Index i = 0; i < ids.size(); ++i) {
      hashes_.push_back(hash_(ids[i]));
      std::size_t slot = hashes_[i] & mask_;
      while (slots_[slot] != 0) {
        slot = (slot + 1) & mask_;
      }
      slots_[slot] = i + 1;
    }
  }

  std::optional<Index> find(std::string_view id) const {
    const std::size_t hash = hash_(id);
    for (std::size_t slot = hash & mask_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
      const Index candidate = slots_[slot] - 1;
      if (hashes_[candidate] == hash && ids_[candidate] == id) {
        return candidate;
      }
    }
    return std::nullopt;
  }

 private:
  std::hash<std::string_view> hash_;
  const std::vector<std::string_view>& ids_;
  std::vector<std::size_t> hashes_;
  std::vector<Index> slots_;  // index + 1; 0 marks a free slot
  std::size_t mask_;
};

ModelFacts facts_of(const ManifestNode& node) {
  ModelFacts facts;
  facts.has_event_time = node.event_time.has_value();
  if (const auto& meta = node.meta) {
    facts.declares_meta = true;
    facts.lookback = meta->lookback;
    facts.lookback_unit = meta->lookback_unit;
    facts.lookahead = meta->lookahead;
    facts.lookahead_unit = meta->lookahead_unit;
    if (!meta->lookback_overrides.empty() || !meta->lookahead_overrides.empty()) {
      facts.overrides = &*meta;
    }
  }
  return facts;
}

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

}  // namespace

SelectedGraph build_selected_graph(const Manifest& manifest, const Selection& selection) {
  PackedIds packed;
  const std::vector<const ManifestNode*> nodes = selected_nodes(manifest, selection, packed);
  const IdTable index_of(packed.ids);
  SelectedGraph graph;
  graph.models.reserve(nodes.size());
  std::vector<std::size_t> name_ends;
  std::vector<std::size_t> bare_lengths;
  name_ends.reserve(nodes.size());
  bare_lengths.reserve(nodes.size());
  std::vector<Index> row;
  for (const ManifestNode* node : nodes) {
    graph.models.push_back(facts_of(*node));
    graph.name_text.insert(graph.name_text.end(), node->name.begin(), node->name.end());
    bare_lengths.push_back(node->name.size());
    if (node->version) {
      graph.name_text.insert(graph.name_text.end(), {'.', 'v'});
      graph.name_text.insert(graph.name_text.end(), node->version->begin(), node->version->end());
    }
    name_ends.push_back(graph.name_text.size());
    row.clear();
    for (const std::string& parent : node->depends_on) {
      if (const auto found = index_of.find(parent)) {
        row.push_back(*found);
      }
    }
    graph.parents.push_row(row);
  }
  graph.names.reserve(nodes.size());
  graph.bare_names.reserve(nodes.size());
  std::size_t name_start = 0;
  for (std::size_t i = 0; i < name_ends.size(); ++i) {
    const char* start = graph.name_text.data() + name_start;
    graph.names.emplace_back(start, name_ends[i] - name_start);
    graph.bare_names.emplace_back(start, bare_lengths[i]);
    name_start = name_ends[i];
  }
  return graph;
}

Window widen_through_edge(Window source, const ModelFacts& downstream, const SelectedGraph& graph,
                          Index upstream) {
  std::int64_t back = downstream.lookback;
  std::int64_t ahead = downstream.lookahead;
  if (const TarnMeta* overrides = downstream.overrides) {
    const std::string_view printed = graph.names[upstream];
    const std::string_view bare = graph.bare_names[upstream];
    back = amount_for(overrides->lookback_overrides, printed, bare, back);
    ahead = amount_for(overrides->lookahead_overrides, printed, bare, ahead);
  }
  return {shift_back(source.start, back, downstream.lookback_unit),
          shift_forward(source.end, ahead, downstream.lookahead_unit)};
}

}  // namespace tarn::plan_detail
