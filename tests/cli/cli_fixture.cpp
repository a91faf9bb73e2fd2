#include "cli_fixture.h"

#include <regex>
#include <sstream>

#include <sys/stat.h>

#include "process/process.h"

namespace tarn::cli_test {
namespace fs = std::filesystem;

namespace {

constexpr const char* k_standin = R"sh(#!/bin/sh
here=$(dirname "$0")
{
  echo "cwd=$(pwd)"
  for word in "$@"; do echo "arg=$word"; done
  echo "--"
} >> "$here/dbt.log"
case "$1" in
  ls)
    if [ -f "$here/ls.stderr" ]; then cat "$here/ls.stderr" >&2; fi
    if [ -f "$here/ls.out" ]; then cat "$here/ls.out"; fi
    if [ -f "$here/ls.exit" ]; then exit "$(cat "$here/ls.exit")"; fi
    ;;
esac
exit 0
)sh";

}  // namespace

ScratchProject::ScratchProject() {
  fs::create_directories(root_ / "proj");
  fs::create_directories(root_ / "bin");
  write("proj/dbt_project.yml", "name: proj\nversion: '1.0'\nprofile: proj\n");
  write("bin/dbt", k_standin);
  fs::permissions(dbt(), fs::perms::owner_all);
}

void ScratchProject::write(const fs::path& relative, const std::string& text) const {
  testing::write_file(root_ / relative, text);
}

std::string ScratchProject::read(const fs::path& relative) const {
  return testing::read_file(root_ / relative);
}

bool ScratchProject::exists(const fs::path& relative) const {
  return fs::exists(root_ / relative);
}

void ScratchProject::write_manifest(const std::string& json) const {
  write("proj/target/manifest.json", json);
  // Newer than dbt_project.yml by a clear margin, so no refresh is due.
  const fs::path manifest = root_ / "proj/target/manifest.json";
  fs::last_write_time(manifest,
                      fs::last_write_time(root_ / "proj/dbt_project.yml") + std::chrono::hours(1));
}

void ScratchProject::set_ls_output(const std::string& text) const {
  write("bin/ls.out", text);
}

void ScratchProject::set_ls_exit(int code, const std::string& stderr_text) const {
  write("bin/ls.exit", std::to_string(code));
  write("bin/ls.stderr", stderr_text);
}

std::vector<std::string> ScratchProject::dbt_log() const {
  std::vector<std::string> lines;
  std::istringstream in(read("bin/dbt.log"));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

RunResult ScratchProject::run(const std::vector<std::string>& args, const std::string& cwd) const {
  std::vector<std::string> argv{TARN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  auto result = run_process(argv, root_ / cwd);
  if (!result) {
    return RunResult{-1, "", "could not start: " + result.error()};
  }
  int status = result->exited ? result->exit_code : 128 + result->signal;
  return RunResult{status, result->out, result->err};
}

RunResult ScratchProject::run_with_dbt(std::vector<std::string> args,
                                       const std::string& cwd) const {
  args.push_back("--dbt-command");
  args.push_back(dbt().string());
  return run(args, cwd);
}

std::string without_generated_at(const std::string& document) {
  static const std::regex stamp(R"re("generated_at": "[^"]*")re");
  return std::regex_replace(document, stamp, R"("generated_at": "*")",
                            std::regex_constants::format_first_only);
}

}  // namespace tarn::cli_test
