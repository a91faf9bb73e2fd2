#include "config/config.h"
#include "config/yaml.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <regex>
#include <unordered_set>

#include "util/fd.h"
#include "util/shell_words.h"
#include "util/text.h"

// The typed reading looks two levels into the node graph, so an alias bomb is
// never expanded. Tags are ignored: a value is read from its text and quoting
// alone, so `!!str null` is still null and `!!int "5"` the string "5".

namespace tarn {
namespace {

namespace fs = std::filesystem;
using yaml::at;
using yaml::Node;
using yaml::NodeRef;
using Status = std::expected<void, std::string>;

struct Integer {
  bool spelled = false;               // the node is a plain integer
  std::optional<std::int64_t> value;  // absent beyond the signed 64-bit range
};

/// Decimal, or 0x / 0o / 0b, with an optional sign.
Integer integer_of(const Node& node) {
  std::string_view t = node.text;
  if (node.kind != Node::Kind::scalar || !node.plain) {
    return {};
  }
  const bool negative = t.starts_with('-');
  if (negative || t.starts_with('+')) {
    t.remove_prefix(1);
  }
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) {
    base = t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2;
    t.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
  if (error == std::errc::invalid_argument || end != t.data() + t.size()) {
    return {};
  }
  // The magnitude may reach 2^63 for the most negative value.
  constexpr std::uint64_t limit = std::uint64_t{1} << 63;
  if (error == std::errc::result_out_of_range || magnitude > (negative ? limit : limit - 1)) {
    return {true, std::nullopt};
  }
  return {true, static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude)};
}

/// How a message names a node: "map", "sequence", "unit value",
/// "boolean `true`", "integer `5`", "floating point `1.5`", "string \"5\"".
std::string describe(const Node& node) {
  static const std::regex floating(
      R"([-+]?(\.(inf|Inf|INF|nan|NaN|NAN)|(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?))");
  static constexpr std::string_view booleans[] = {"true",  "True",  "TRUE",
                                                  "false", "False", "FALSE"};
  const std::string& t = node.text;
  if (node.kind != Node::Kind::scalar) {
    return node.kind == Node::Kind::mapping ? "map" : "sequence";
  }
  if (yaml::is_null(node)) {
    return "unit value";
  }
  const char* kind = !node.plain                           ? nullptr
                     : std::ranges::count(booleans, t) > 0 ? "boolean"
                     : integer_of(node).spelled            ? "integer"
                     : std::regex_match(t, floating)       ? "floating point"
                                                           : nullptr;
  return kind != nullptr ? std::string(kind) + " `" + t + "`" : "string " + quoted_value(t);
}

std::string type_error(const yaml::Document& doc, NodeRef ref, std::string_view expected) {
  return "invalid type: " + describe(doc.node(ref)) + ", expected " + std::string(expected) +
         at(ref.position);
}

/// Visits the entries of a mapping whose keys are scalars, in order, refusing
/// a key that repeats; nothing for null, a type error for any other node.
/// Other keys cannot name a field.
template <typename Visit>
Status for_each_entry(const yaml::Document& doc, NodeRef ref, std::string_view expected,
                      Visit visit) {
  const Node& mapping = doc.node(ref);
  if (yaml::is_null(mapping)) {
    return {};
  }
  if (mapping.kind != Node::Kind::mapping) {
    return std::unexpected(type_error(doc, ref, expected));
  }
  std::unordered_set<std::string_view> seen;
  for (std::size_t i = 0; i + 1 < mapping.children.size(); i += 2) {
    const Node& key = doc.node(mapping.children[i]);
    if (key.kind != Node::Kind::scalar) {
      continue;
    }
    if (!seen.insert(key.text).second) {
      return std::unexpected("duplicate field `" + key.text + "`" +
                             at(mapping.children[i].position));
    }
    if (Status status = visit(key.text, mapping.children[i + 1]); !status) {
      return status;
    }
  }
  return {};
}

Status read_text(const yaml::Document& doc, NodeRef ref, std::optional<std::string>& field) {
  const Node& value = doc.node(ref);
  if (value.kind != Node::Kind::scalar) {
    return std::unexpected(type_error(doc, ref, "a string"));
  }
  if (!yaml::is_null(value)) {
    field = value.text;
  }
  return {};
}

Status read_i64(const yaml::Document& doc, NodeRef ref, std::optional<std::int64_t>& field) {
  const Node& value = doc.node(ref);
  const Integer scan = integer_of(value);
  if (scan.spelled && !scan.value) {
    return std::unexpected("invalid value: integer `" + value.text + "`, expected i64" +
                           at(ref.position));
  }
  if (!scan.spelled && !yaml::is_null(value)) {
    return std::unexpected(type_error(doc, ref, "i64"));
  }
  field = scan.value;
  return {};
}

/// The directories whose tarn.yml files apply, from the repository root down
/// to the project directory; the project directory alone outside a repository.
std::vector<fs::path> config_directories(const fs::path& project_dir) {
  std::vector<fs::path> walked{project_dir};
  std::error_code ec;
  while (!fs::exists(walked.back() / ".git", ec)) {
    auto parent = lexical_parent(walked.back());
    if (!parent) {
      return {project_dir};
    }
    walked.push_back(std::move(*parent));
  }
  return {walked.rbegin(), walked.rend()};
}

/// One file's settings; the error is the system's, the decoder's or the YAML parser's text.
std::expected<LayeredConfig, std::string> read_tarn_yml(const fs::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  auto bytes = fd.is_open() ? read_to_end(fd.get()) : std::unexpected(errno);
  if (!bytes) {
    return std::unexpected(os_error_text(bytes.error()));
  }
  // Lossy decoding changes exactly the texts that are not valid UTF-8.
  if (decode_lossy(*bytes) != *bytes) {
    return std::unexpected(std::string("stream did not contain valid UTF-8"));
  }
  return parse_tarn_yml(*bytes);
}

}  // namespace

std::expected<LayeredConfig, std::string> parse_tarn_yml(std::string_view text) {
  auto doc = yaml::load(text);
  if (!doc) {
    return std::unexpected(std::move(doc.error()));
  }
  LayeredConfig yml;
  const auto read_dbt_plan = [&](std::string_view key, NodeRef value) {
    if (key == "max-window-expansion-days") {
      return read_i64(*doc, value, yml.max_window_expansion_days);
    }
    yml.warnings.push_back("unknown key `" + std::string(key) +
                           "` under dbt-plan is ignored -- the key it knows is "
                           "max-window-expansion-days");
    return Status();
  };
  const auto read_entry = [&](std::string_view key, NodeRef value) {
    if (key == "against" || key == "dbt-command" || key == "dbt-args") {
      return read_text(*doc, value,
                       key == "against"       ? yml.against
                       : key == "dbt-command" ? yml.dbt_command
                                              : yml.dbt_args);
    }
    return key == "dbt-plan" ? for_each_entry(*doc, value, "struct DbtPlanLayer", read_dbt_plan)
                             : Status();
  };
  Status status =
      doc->root ? for_each_entry(*doc, *doc->root, "struct TarnYml", read_entry) : Status();
  if (!status) {
    return std::unexpected(std::move(status.error()));
  }
  return yml;
}

std::expected<LayeredConfig, std::string> load_project_config(
    const std::filesystem::path& project_dir) {
  LayeredConfig layered;
  const auto take = [](auto& into, auto& from) {
    if (from) {
      into = std::move(from);
    }
  };
  for (const fs::path& dir : config_directories(project_dir)) {
    const fs::path file = dir / "tarn.yml";
    std::error_code ec;
    if (!fs::exists(file, ec)) {
      continue;
    }
    const std::string path = display_path(file);
    auto yml = read_tarn_yml(file);
    if (!yml) {
      return std::unexpected(path + ": " + yml.error());
    }
    take(layered.against, yml->against);
    take(layered.dbt_command, yml->dbt_command);
    take(layered.dbt_args, yml->dbt_args);
    take(layered.max_window_expansion_days, yml->max_window_expansion_days);
    for (const std::string& warning : yml->warnings) {
      layered.warnings.push_back(path + ": " + warning);
    }
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
    auto words = split_shell_words(options.dbt_args ? *options.dbt_args : *config.dbt_args);
    if (!words) {
      return std::unexpected((options.dbt_args ? "--dbt-args: " : "tarn.yml dbt-args: ") +
                             words.error());
    }
    settings.dbt_args = std::move(*words);
  }
  settings.against = options.against.value_or(config.against.value_or("master"));
  settings.max_window_expansion_days = config.max_window_expansion_days.value_or(90);
  return settings;
}

}  // namespace tarn
