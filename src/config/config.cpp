#include "config/config.h"
#include "config/yaml.h"

#include "util/fd.h"
#include "util/shell_words.h"
#include "util/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml.h>

#include <cerrno>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

// How tarn.yml is read:
// - The file is first loaded into a graph of nodes in which an alias is one
//   more reference to the node its anchor names, never a copy. An alias bomb
//   therefore costs memory in proportion to the text, and the typed reading
//   below only ever looks two levels deep, so nothing is expanded.
// - An anchor becomes usable once its node is complete, so an alias cannot
//   point into an enclosing node and the graph has no cycles.
// - Nesting deeper than 128 levels is rejected while loading, which bounds
//   the loader's stack of open collections whatever the input.
// - Tags are ignored: a value is read from its text and its quoting alone, so
//   `!!str null` is still null and `!!int "5"` is still the string "5".

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t max_nesting = 128;

using yaml::Node;
using yaml::NodeRef;
using yaml::Position;

std::string at(Position position) {
  return " at line " + std::to_string(position.line) + " column " + std::to_string(position.column);
}

Position position_of(const yaml_mark_t& mark) {
  return {mark.line + 1, mark.column + 1};
}

// ---------------------------------------------------------------------------
// Loading: libyaml events into the node graph.

class Parser {
 public:
  explicit Parser(std::string_view text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  bool next(yaml_event_t& event) { return yaml_parser_parse(&parser_, &event) != 0; }
  const yaml_parser_t& state() const { return parser_; }

 private:
  yaml_parser_t parser_{};
};

class Event {
 public:
  Event() = default;
  ~Event() { yaml_event_delete(&event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  yaml_event_t& get() { return event_; }

 private:
  yaml_event_t event_{};
};

std::string libyaml_error(const yaml_parser_t& parser, std::string_view text) {
  if (parser.error == YAML_MEMORY_ERROR) {
    return "out of memory while parsing YAML";
  }
  std::string message = parser.problem != nullptr ? parser.problem : "unknown YAML error";
  if (parser.error == YAML_READER_ERROR) {
    return message + " at " + line_and_column(text, parser.problem_offset);
  }
  if (parser.context != nullptr) {
    message += std::string(" ") + parser.context;
  }
  return message + at(position_of(parser.problem_mark));
}

class GraphLoader {
 public:
  explicit GraphLoader(std::string_view text) : text_(text), parser_(text) {}

  /// The document's root, or nullopt for a stream without a document.
  std::expected<std::optional<NodeRef>, std::string> load() {
    bool seen_document = false;
    while (true) {
      Event event;
      if (!parser_.next(event.get())) {
        return std::unexpected(libyaml_error(parser_.state(), text_));
      }
      const yaml_event_t& e = event.get();
      const Position position = position_of(e.start_mark);
      switch (e.type) {
        case YAML_STREAM_END_EVENT:
          return root_;
        case YAML_NO_EVENT:
          // A parser that failed to initialise reports success with no event;
          // looping on it would never end.
          return std::unexpected(libyaml_error(parser_.state(), text_));
        case YAML_DOCUMENT_START_EVENT:
          if (seen_document) {
            return std::unexpected(
                "deserializing from YAML containing more than one document is not supported" +
                at(position));
          }
          seen_document = true;
          break;
        case YAML_SCALAR_EVENT:
          add_scalar(e, position);
          break;
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT:
          if (open_.size() == max_nesting) {
            return std::unexpected("recursion limit exceeded: more than " +
                                   std::to_string(max_nesting) + " nested levels" + at(position));
          }
          open_collection(e, position);
          break;
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT:
          close_collection();
          break;
        case YAML_ALIAS_EVENT: {
          const auto found = anchors_.find(anchor_text(e.data.alias.anchor));
          if (found == anchors_.end()) {
            return std::unexpected("unknown anchor" + at(position));
          }
          attach({found->second, position});
          break;
        }
        default:
          break;
      }
    }
  }

  std::vector<Node> take_nodes() { return std::move(nodes_); }

 private:
  struct OpenCollection {
    std::size_t index;
    std::string anchor;
  };

  static std::string anchor_text(const yaml_char_t* anchor) {
    return anchor != nullptr ? reinterpret_cast<const char*>(anchor) : "";
  }

  void add_scalar(const yaml_event_t& e, Position position) {
    Node node;
    node.text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
    node.plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
    const std::size_t index = push(std::move(node));
    remember_anchor(anchor_text(e.data.scalar.anchor), index);
    attach({index, position});
  }

  void open_collection(const yaml_event_t& e, Position position) {
    Node node;
    const bool mapping = e.type == YAML_MAPPING_START_EVENT;
    node.kind = mapping ? Node::Kind::mapping : Node::Kind::sequence;
    const yaml_char_t* anchor =
        mapping ? e.data.mapping_start.anchor : e.data.sequence_start.anchor;
    const std::size_t index = push(std::move(node));
    attach({index, position});
    open_.push_back({index, anchor_text(anchor)});
  }

  void close_collection() {
    if (open_.empty()) {
      return;
    }
    remember_anchor(open_.back().anchor, open_.back().index);
    open_.pop_back();
  }

  std::size_t push(Node node) {
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
  }

  void remember_anchor(const std::string& anchor, std::size_t index) {
    if (!anchor.empty()) {
      anchors_[anchor] = index;
    }
  }

  void attach(NodeRef ref) {
    if (open_.empty()) {
      root_ = ref;
    } else {
      nodes_[open_.back().index].children.push_back(ref);
    }
  }

  std::string_view text_;
  Parser parser_;
  std::vector<Node> nodes_;
  std::vector<OpenCollection> open_;
  std::unordered_map<std::string, std::size_t> anchors_;
  std::optional<NodeRef> root_;
};

// ---------------------------------------------------------------------------
// Scalars: how a plain value reads, for integers and for messages.

using yaml::is_null;

bool is_bool(std::string_view t) {
  return t == "true" || t == "True" || t == "TRUE" || t == "false" || t == "False" || t == "FALSE";
}

std::size_t count_digits(std::string_view text, std::size_t from) {
  std::size_t count = 0;
  while (from + count < text.size() && text[from + count] >= '0' && text[from + count] <= '9') {
    ++count;
  }
  return count;
}

bool is_float(std::string_view t) {
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    t.remove_prefix(1);
  }
  if (t == ".inf" || t == ".Inf" || t == ".INF" || t == ".nan" || t == ".NaN" || t == ".NAN") {
    return true;
  }
  std::size_t i = count_digits(t, 0);
  std::size_t mantissa_digits = i;
  if (i < t.size() && t[i] == '.') {
    const std::size_t fraction = count_digits(t, i + 1);
    mantissa_digits += fraction;
    i += 1 + fraction;
  }
  if (mantissa_digits == 0) {
    return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
      ++i;
    }
    const std::size_t exponent = count_digits(t, i);
    if (exponent == 0) {
      return false;
    }
    i += exponent;
  }
  return i == t.size();
}

struct IntegerScan {
  enum class Result { not_integer, out_of_range, ok };
  Result result = Result::not_integer;
  std::int64_t value = 0;
};

int digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return 99;
}

/// Decimal, or 0x / 0o / 0b with an optional sign, as a signed 64-bit value.
IntegerScan scan_integer(std::string_view t) {
  using Result = IntegerScan::Result;
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  unsigned base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) {
    base = t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2;
    t.remove_prefix(2);
  }
  if (t.empty()) {
    return {};
  }
  // The magnitude may reach 2^63 for the most negative value.
  constexpr std::uint64_t limit = std::uint64_t{1} << 63;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (const char c : t) {
    const auto digit = static_cast<unsigned>(digit_value(c));
    if (digit >= base) {
      return {};
    }
    if (magnitude > (limit - digit) / base) {
      overflow = true;
    } else {
      magnitude = magnitude * base + digit;
    }
  }
  if (overflow || magnitude > (negative ? limit : limit - 1)) {
    return {Result::out_of_range, 0};
  }
  const auto value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return {Result::ok, value};
}

std::string describe(const Node& node) {
  switch (node.kind) {
    case Node::Kind::sequence:
      return "sequence";
    case Node::Kind::mapping:
      return "map";
    case Node::Kind::scalar:
      break;
  }
  if (node.plain) {
    if (is_null(node)) {
      return "unit value";
    }
    if (is_bool(node.text)) {
      return "boolean `" + node.text + "`";
    }
    if (scan_integer(node.text).result != IntegerScan::Result::not_integer) {
      return "integer `" + node.text + "`";
    }
    if (is_float(node.text)) {
      return "floating point `" + node.text + "`";
    }
  }
  return "string " + quoted_value(node.text);
}

// ---------------------------------------------------------------------------
// Typed reading of the graph into TarnYml.

class TarnYmlReader {
  using Status = std::expected<void, std::string>;

 public:
  explicit TarnYmlReader(const std::vector<Node>& nodes) : nodes_(nodes) {}

  std::expected<TarnYml, std::string> read(std::optional<NodeRef> root) {
    TarnYml yml;
    if (!root || is_null(node(*root))) {
      return yml;
    }
    if (node(*root).kind != Node::Kind::mapping) {
      return std::unexpected(type_error(*root, "struct TarnYml"));
    }
    const auto status = for_each_entry(*root, [&](std::string_view key, NodeRef value) {
      if (key == "against") {
        return read_text(value, yml.against);
      }
      if (key == "dbt-command") {
        return read_text(value, yml.dbt_command);
      }
      if (key == "dbt-args") {
        return read_text(value, yml.dbt_args);
      }
      if (key == "dbt-plan") {
        return read_dbt_plan(value, yml.dbt_plan);
      }
      return Status();
    });
    if (!status) {
      return std::unexpected(status.error());
    }
    return yml;
  }

 private:
  const Node& node(NodeRef ref) const { return nodes_[ref.index]; }

  std::string type_error(NodeRef ref, std::string_view expected) const {
    return "invalid type: " + describe(node(ref)) + ", expected " + std::string(expected) +
           at(ref.position);
  }

  /// Calls `visit` with every entry whose key is a scalar, after rejecting a
  /// key that repeats within the mapping. Other keys cannot name a field.
  template <typename Visit>
  Status for_each_entry(NodeRef mapping, Visit visit) const {
    const auto& children = node(mapping).children;
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i + 1 < children.size(); i += 2) {
      const Node& key = node(children[i]);
      if (key.kind != Node::Kind::scalar) {
        continue;
      }
      if (!seen.insert(key.text).second) {
        return std::unexpected("duplicate field `" + key.text + "`" + at(children[i].position));
      }
      if (auto status = visit(key.text, children[i + 1]); !status) {
        return status;
      }
    }
    return {};
  }

  Status read_text(NodeRef ref, std::optional<std::string>& field) const {
    const Node& value = node(ref);
    if (value.kind != Node::Kind::scalar) {
      return std::unexpected(type_error(ref, "a string"));
    }
    if (!is_null(value)) {
      field = value.text;
    }
    return {};
  }

  Status read_dbt_plan(NodeRef ref, std::optional<DbtPlanLayer>& field) const {
    const Node& value = node(ref);
    if (is_null(value)) {
      return {};
    }
    if (value.kind != Node::Kind::mapping) {
      return std::unexpected(type_error(ref, "struct DbtPlanLayer"));
    }
    DbtPlanLayer layer;
    auto status = for_each_entry(ref, [&](std::string_view key, NodeRef entry) {
      if (key == "max-window-expansion-days") {
        return read_integer(entry, layer.max_window_expansion_days);
      }
      layer.unknown_keys.emplace_back(key);
      return Status();
    });
    if (status) {
      field = layer;
    }
    return status;
  }

  Status read_integer(NodeRef ref, std::optional<std::int64_t>& field) const {
    const Node& value = node(ref);
    if (is_null(value)) {
      return {};
    }
    const IntegerScan scan =
        value.kind == Node::Kind::scalar && value.plain ? scan_integer(value.text) : IntegerScan{};
    switch (scan.result) {
      case IntegerScan::Result::ok:
        field = scan.value;
        return {};
      case IntegerScan::Result::out_of_range:
        return std::unexpected("invalid value: integer `" + value.text + "`, expected i64" +
                               at(ref.position));
      case IntegerScan::Result::not_integer:
        break;
    }
    return std::unexpected(type_error(ref, "i64"));
  }

  const std::vector<Node>& nodes_;
};

// ---------------------------------------------------------------------------
// Discovery and layering.

/// The path minus its last component, computed on the text alone; nullopt
/// for the empty path and for a file-system root.
std::optional<fs::path> lexical_parent(const fs::path& path) {
  std::string text = path.native();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  if (text.empty() || text == "/") {
    return std::nullopt;
  }
  const std::size_t slash = text.rfind('/');
  if (slash == std::string::npos) {
    return fs::path();
  }
  text.resize(slash);
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return fs::path(text.empty() ? "/" : text);
}

bool metadata_available(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

/// The directories whose tarn.yml files apply, from the repository root down
/// to the project directory; the project directory alone outside a repository.
std::vector<fs::path> config_directories(const fs::path& project_dir) {
  std::vector<fs::path> walked{project_dir};
  fs::path current = project_dir;
  while (!metadata_available(current / ".git")) {
    const auto parent = lexical_parent(current);
    if (!parent) {
      return {project_dir};
    }
    current = *parent;
    walked.push_back(current);
  }
  return {walked.rbegin(), walked.rend()};
}

std::expected<std::string, std::string> read_utf8_file(const fs::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    return std::unexpected(os_error_text(errno));
  }
  auto bytes = read_to_end(fd.get());
  if (!bytes) {
    return std::unexpected(os_error_text(bytes.error()));
  }
  // Lossy decoding changes exactly the texts that are not valid UTF-8.
  if (decode_lossy(*bytes) != *bytes) {
    return std::unexpected(std::string("stream did not contain valid UTF-8"));
  }
  return std::move(*bytes);
}

void layer_onto(LayeredConfig& layered, TarnYml&& yml, const std::string& path) {
  if (yml.against) {
    layered.against = std::move(yml.against);
  }
  if (yml.dbt_command) {
    layered.dbt_command = std::move(yml.dbt_command);
  }
  if (yml.dbt_args) {
    layered.dbt_args = std::move(yml.dbt_args);
  }
  if (yml.dbt_plan && yml.dbt_plan->max_window_expansion_days) {
    layered.max_window_expansion_days = yml.dbt_plan->max_window_expansion_days;
  }
  if (yml.dbt_plan) {
    for (const std::string& key : yml.dbt_plan->unknown_keys) {
      layered.warnings.push_back(
          {path,
           "unknown key `" + key +
               "` under dbt-plan is ignored -- the key it knows is max-window-expansion-days"});
    }
  }
}

std::expected<std::vector<std::string>, std::string> split_dbt_args(std::string_view text,
                                                                    std::string_view origin) {
  auto words = split_shell_words(text);
  if (!words) {
    return std::unexpected(std::string(origin) + ": " + words.error());
  }
  return words;
}

}  // namespace

std::string ProjectConfigError::message() const {
  return path + ": " + detail;
}

std::expected<TarnYml, std::string> parse_tarn_yml(std::string_view text) {
  auto document = yaml::load(text);
  if (!document) {
    return std::unexpected(document.error());
  }
  return TarnYmlReader(document->nodes).read(document->root);
}

namespace yaml {

std::expected<Document, std::string> load(std::string_view text) {
  GraphLoader loader(text);
  auto root = loader.load();
  if (!root) {
    return std::unexpected(std::move(root.error()));
  }
  return Document{loader.take_nodes(), *root};
}

bool is_null(const Node& node) {
  if (node.kind != Node::Kind::scalar || !node.plain) {
    return false;
  }
  const std::string& t = node.text;
  return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

}  // namespace yaml

std::expected<LayeredConfig, ProjectConfigError> load_project_config(
    const std::filesystem::path& project_dir) {
  LayeredConfig layered;
  for (const fs::path& dir : config_directories(project_dir)) {
    const fs::path file = dir / "tarn.yml";
    if (!metadata_available(file)) {
      continue;
    }
    const auto text = read_utf8_file(file);
    if (!text) {
      return std::unexpected(ProjectConfigError{display_path(file), text.error()});
    }
    auto yml = parse_tarn_yml(*text);
    if (!yml) {
      return std::unexpected(ProjectConfigError{display_path(file), yml.error()});
    }
    layer_onto(layered, std::move(*yml), display_path(file));
  }
  return layered;
}

std::expected<EffectiveSettings, std::string> resolve_settings(const SettingOptions& options,
                                                               const LayeredConfig& config) {
  EffectiveSettings settings;
  settings.dbt_command = options.dbt_command.value_or(config.dbt_command.value_or("dbt"));
  // The file's dbt-args is split only when the option does not replace it, so
  // a broken value there is harmless under --dbt-args.
  if (options.dbt_args || config.dbt_args) {
    auto words = options.dbt_args ? split_dbt_args(*options.dbt_args, "--dbt-args")
                                  : split_dbt_args(*config.dbt_args, "tarn.yml dbt-args");
    if (!words) {
      return std::unexpected(words.error());
    }
    settings.dbt_args = std::move(*words);
  }
  settings.against = options.against.value_or(config.against.value_or("master"));
  settings.max_window_expansion_days = config.max_window_expansion_days.value_or(90);
  return settings;
}

}  // namespace tarn
