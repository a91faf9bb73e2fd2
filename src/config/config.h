#pragma once
// tarn.yml: discovery from the project directory up to the repository root,
// nearest-wins layering, typed parsing, and the effective settings.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// The settings of one tarn.yml file, or of all found, layered: every value is
/// that of the nearest file that sets it.
struct LayeredConfig {
  std::optional<std::string> against;
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<std::int64_t> max_window_expansion_days;  // under dbt-plan
  /// Other keys under dbt-plan are likely typos, so they are warned about
  /// rather than skipped: in file order, farthest file first, each message
  /// prefixed with "{path}: " once layered.
  std::vector<std::string> warnings;
};

/// Parses one file's text; the error is the YAML text with line and column.
std::expected<LayeredConfig, std::string> parse_tarn_yml(std::string_view text);

/// The error is "{path}: {the system's or the YAML parser's text}".
std::expected<LayeredConfig, std::string> load_project_config(
    const std::filesystem::path& project_dir);

/// The command-line options that take part in the settings precedence.
struct SettingOptions {
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<std::string> against;
};

struct EffectiveSettings {
  std::string dbt_command;            // unsplit
  std::vector<std::string> dbt_args;  // split once
  std::string against;
  std::int64_t max_window_expansion_days = 90;
};

/// Option, then tarn.yml, then default. Fails with "--dbt-args: {}" or
/// "tarn.yml dbt-args: {}" when the winning dbt-args text cannot be split.
std::expected<EffectiveSettings, std::string> resolve_settings(const SettingOptions& options,
                                                               const LayeredConfig& config);

}  // namespace tarn
