#pragma once
// dbt's compiled manifest.json read into the model graph: every model and
// every source, with parents, event_time and the config.meta.tarn settings.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "date/date.h"

namespace tarn {

/// The ids of the models a selector names, as dbt resolved it.
using Selection = std::unordered_set<std::string>;

struct TarnMeta {
  std::int64_t lookback = 0;
  WindowUnit lookback_unit = WindowUnit::day;
  std::int64_t lookahead = 0;
  WindowUnit lookahead_unit = WindowUnit::day;
  std::unordered_map<std::string, std::int64_t> lookback_overrides;
  std::unordered_map<std::string, std::int64_t> lookahead_overrides;

  bool operator==(const TarnMeta&) const = default;
};

struct ManifestNode {
  std::string id;
  std::string name;
  std::vector<std::string> depends_on;  // verbatim, manifest order
  std::optional<std::string> event_time;
  std::optional<TarnMeta> meta;
  bool is_source = false;
  /// A versioned model's version as dbt prints it after ".v" ("2" for
  /// `version: 2`); absent when the model is not versioned.
  std::optional<std::string> version;
  /// config.materialized and config.incremental_strategy; older manifests
  /// may lack either.
  std::optional<std::string> materialized;
  std::optional<std::string> incremental_strategy;

  bool operator==(const ManifestNode&) const = default;
};

/// The model as dbt prints it and as every report shows it: "name.vN" for a
/// versioned model, the bare name otherwise.
inline std::string printed_name(const ManifestNode& node) {
  return node.version ? node.name + ".v" + *node.version : node.name;
}

struct Manifest {
  std::optional<std::string> generated_at;
  std::unordered_map<std::string, ManifestNode> nodes;

  bool operator==(const Manifest&) const = default;
};

struct ManifestError {
  std::string path;    // as displayed
  std::string detail;  // the system's text, or the parse error ending " at line L column C"
  std::string message() const;  // "{path}: {detail}"
};

std::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path);

/// Parses manifest text already in memory; the error is the parse detail.
std::expected<Manifest, std::string> parse_manifest(std::string_view json);

}  // namespace tarn
