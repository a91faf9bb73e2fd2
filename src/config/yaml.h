#pragma once
// YAML text loaded with libyaml into a graph of nodes, for the readers of
// tarn.yml and of dbt's own project files. An alias is one more reference to
// the node its anchor names, never a copy.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::yaml {

struct Position {
  std::size_t line = 1;
  std::size_t column = 1;
};

/// A reference to a node from the place where it is written: an alias points
/// at its anchor's node but keeps its own position for messages.
struct NodeRef {
  std::size_t index = 0;
  Position position;
};

struct Node {
  enum class Kind { scalar, sequence, mapping };
  Kind kind = Kind::scalar;
  std::string text;  // scalars only
  bool plain = false;
  std::vector<NodeRef> children;  // a sequence's items; a mapping's alternate keys and values
};

struct Document {
  std::vector<Node> nodes;
  std::optional<NodeRef> root;  // absent for a stream without a document

  const Node& node(NodeRef ref) const { return nodes[ref.index]; }
};

/// " at line L column C": how every message names a place in the text.
std::string at(Position position);

/// One document at most; the error is libyaml's text with line and column.
std::expected<Document, std::string> load(std::string_view text);

/// A plain `~`, `null` (in three spellings) or nothing.
bool is_null(const Node& node);

}  // namespace tarn::yaml
