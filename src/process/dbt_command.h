#pragma once
// The dbt command text becomes an argument vector: its own words, then the
// subcommand's words, then the extra dbt words.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct DbtCommandError {
  enum class Kind { unsplittable, empty };
  Kind kind = Kind::empty;
  std::string splitter_message;  // "missing closing quote" when unsplittable
};

/// The command words followed by the subcommand words and the extra words.
std::expected<std::vector<std::string>, DbtCommandError> dbt_argv(
    std::string_view command_text, const std::vector<std::string>& subcommand,
    const std::vector<std::string>& extra_args);

inline constexpr std::string_view k_empty_command_message =
    "--dbt-command resolved to an empty command";

}  // namespace tarn
