#pragma once
// The command line: the planning options, the run-book options, help and version.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarn {

struct Cli {
  std::string select;
  std::optional<std::string> exclude;
  std::optional<std::string> event_time_start;
  std::optional<std::string> event_time_end;
  std::optional<std::string> project_dir;
  std::optional<std::string> manifest;
  std::optional<std::string> output_file;
  bool pretty = false;
  bool html = false;
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<std::string> against;
  std::optional<std::string> state;
  std::optional<std::string> anchor;
  std::optional<std::string> runbook;          // a path, or "-" for standard output
  std::optional<std::string> runbook_command;  // "run" or "build"
  std::optional<std::string> summary;          // a path, or "-" for standard output
};

/// The parser's own answer instead of a Cli: help or version (status 0, on
/// standard output) or a usage error (status 2, on standard error).
struct CliExit {
  int status = 0;
  std::string out;
  std::string err;
};

/// args holds the program name first, as main receives it.
std::variant<Cli, CliExit> parse_cli(const std::vector<std::string>& args);

}  // namespace tarn
