#include "config/yaml.h"

#include <yaml.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

#include "util/text.h"

// An anchor is usable once its node is complete, so an alias cannot point into
// an enclosing node and the graph has no cycles. Nesting deeper than 128
// levels is refused, which bounds the stack of open collections.

namespace tarn::yaml {
namespace {

constexpr std::size_t max_nesting = 128;

Position position_of(const yaml_mark_t& mark) {
  return {mark.line + 1, mark.column + 1};
}

std::string libyaml_error(const yaml_parser_t& parser, std::string_view text) {
  if (parser.error == YAML_MEMORY_ERROR) {
    return "out of memory while parsing YAML";
  }
  const std::string problem = parser.problem != nullptr ? parser.problem : "unknown YAML error";
  if (parser.error == YAML_READER_ERROR) {
    return problem + " at " + line_and_column(text, parser.problem_offset);
  }
  const std::string context = parser.context != nullptr ? parser.context : "";
  return problem + (context.empty() ? "" : " ") + context + at(position_of(parser.problem_mark));
}

/// An anchor's name; "" for none, which no alias can name.
std::string text_of(const yaml_char_t* anchor) {
  return anchor != nullptr ? reinterpret_cast<const char*>(anchor) : "";
}

}  // namespace

std::string at(Position position) {
  return " at line " + std::to_string(position.line) + " column " + std::to_string(position.column);
}

std::expected<Document, std::string> load(std::string_view text) {
  yaml_parser_t parser{};
  yaml_parser_initialize(&parser);
  const std::unique_ptr<yaml_parser_t, void (*)(yaml_parser_t*)> parser_owner(&parser,
                                                                              yaml_parser_delete);
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  Document doc;
  std::vector<std::pair<std::size_t, std::string>> open;  // collections and their anchors
  std::unordered_map<std::string, std::size_t> anchors;
  const auto add = [&](NodeRef ref) {
    if (open.empty()) {
      doc.root = ref;
    } else {
      doc.nodes[open.back().first].children.push_back(ref);
    }
  };
  bool seen_document = false;
  while (true) {
    yaml_event_t e{};
    const std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)> event_owner(&e, yaml_event_delete);
    // A parser that failed to initialise reports success with no event.
    if (!yaml_parser_parse(&parser, &e) || e.type == YAML_NO_EVENT) {
      return std::unexpected(libyaml_error(parser, text));
    }
    const Position position = position_of(e.start_mark);
    const std::size_t next = doc.nodes.size();
    if (e.type == YAML_STREAM_END_EVENT) {
      return doc;
    }
    if (e.type == YAML_DOCUMENT_START_EVENT && std::exchange(seen_document, true)) {
      return std::unexpected(
          "deserializing from YAML containing more than one document is not supported" +
          at(position));
    }
    if (e.type == YAML_SCALAR_EVENT) {
      Node& node = doc.nodes.emplace_back();
      node.text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
      node.plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
      anchors[text_of(e.data.scalar.anchor)] = next;
      add({next, position});
    } else if (e.type == YAML_SEQUENCE_START_EVENT || e.type == YAML_MAPPING_START_EVENT) {
      if (open.size() == max_nesting) {
        return std::unexpected("recursion limit exceeded: more than " +
                               std::to_string(max_nesting) + " nested levels" + at(position));
      }
      const bool mapping = e.type == YAML_MAPPING_START_EVENT;
      doc.nodes.emplace_back().kind = mapping ? Node::Kind::mapping : Node::Kind::sequence;
      add({next, position});
      open.emplace_back(
          next, text_of(mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor));
    } else if (e.type == YAML_SEQUENCE_END_EVENT || e.type == YAML_MAPPING_END_EVENT) {
      anchors[open.back().second] = open.back().first;
      open.pop_back();
    } else if (e.type == YAML_ALIAS_EVENT) {
      const auto found = anchors.find(text_of(e.data.alias.anchor));
      if (found == anchors.end()) {
        return std::unexpected("unknown anchor" + at(position));
      }
      add({found->second, position});
    }
  }
}

bool is_null(const Node& node) {
  static constexpr std::string_view nulls[] = {"", "~", "null", "Null", "NULL"};
  return node.kind == Node::Kind::scalar && node.plain && std::ranges::count(nulls, node.text) > 0;
}

}  // namespace tarn::yaml
