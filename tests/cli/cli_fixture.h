#pragma once
// A scratch dbt project in a temporary directory with a stand-in dbt: a shell
// script that logs each invocation (arguments and working directory) and
// answers `ls` with the model names the test configures.

#include <filesystem>
#include <string>
#include <vector>

#include "unit/support/scratch_dir.h"

namespace tarn::cli_test {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

class ScratchProject {
 public:
  ScratchProject();
  ScratchProject(const ScratchProject&) = delete;
  ScratchProject& operator=(const ScratchProject&) = delete;

  /// The temporary directory; the project is its subdirectory "proj".
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path project() const { return root_ / "proj"; }
  std::filesystem::path dbt() const { return root_ / "bin" / "dbt"; }

  void write(const std::filesystem::path& relative, const std::string& text) const;
  std::string read(const std::filesystem::path& relative) const;
  bool exists(const std::filesystem::path& relative) const;

  /// Writes target/manifest.json under the project, newer than every input.
  void write_manifest(const std::string& json) const;
  /// What the stand-in prints for `ls`, one name per line.
  void set_ls_output(const std::string& text) const;
  void set_ls_exit(int code, const std::string& stderr_text = "") const;

  /// Each stand-in invocation: "cwd=<dir>" then one "arg=<word>" per argument.
  std::vector<std::string> dbt_log() const;

  /// Runs the program with the given arguments in `cwd` (relative to root).
  RunResult run(const std::vector<std::string>& args, const std::string& cwd = "proj") const;
  /// Runs with "--dbt-command <stand-in>" appended.
  RunResult run_with_dbt(std::vector<std::string> args, const std::string& cwd = "proj") const;

 private:
  testing::ScratchDir scratch_;
  std::filesystem::path root_ = scratch_.path();
};

/// The plan document with its "generated_at" value blanked, for comparison.
std::string without_generated_at(const std::string& document);

}  // namespace tarn::cli_test
