// The temporary git worktree of a state: selection is removed however the run
// ends: success, a failing dbt step, a bad date, an unwritable plan file, or
// an interruption while dbt runs.

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "fault_child.h"

namespace tarn::cli_test {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;

// Logs "<subcommand> <cwd>" per call; `ls` may sleep until killed, and
// `parse` and `ls` fail on request.
constexpr const char* k_standin = R"sh(#!/bin/sh
here=$(dirname "$0")
echo "$1 $(pwd)" >> "$here/calls.log"
case "$1" in
  parse)
    if [ -f "$here/parse.exit" ]; then exit "$(cat "$here/parse.exit")"; fi
    ;;
  ls)
    if [ -f "$here/ls.sleep" ]; then touch "$here/ls.started"; exec sleep 60; fi
    echo raw
    if [ -f "$here/ls.exit" ]; then exit "$(cat "$here/ls.exit")"; fi
    ;;
esac
exit 0
)sh";

constexpr const char* k_git = "/usr/bin/git";

class BaselineFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(k_git)) {
      GTEST_SKIP() << "git is not installed at " << k_git;
    }
    project.write("bin/dbt", k_standin);
    project.write("proj/.gitignore", "target/\nout/\nblocker\n");
    project.write_manifest(
        R"({"nodes": {"model.p.raw": {"name": "raw", "resource_type": "model"}}})");
    git({"init", "-q"});
    git({"add", "dbt_project.yml", ".gitignore"});
    git({"-c", "user.name=t", "-c", "user.email=t@example.com", "commit", "-q", "-m", "base"});
  }

  void git(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{k_git};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildResult result = run_child(argv, project.project());
    ASSERT_EQ(result.status, 0) << result.err;
  }

  std::vector<std::string> args(const std::string& start = "2024-03-10") const {
    return {TARN_BINARY,
            "--select",
            "state:modified+",
            "--against",
            "HEAD",
            "--event-time-start",
            start,
            "--event-time-end",
            "2024-03-12",
            "--dbt-command",
            project.dbt().string(),
            "-o",
            "out/plan.json"};
  }

  /// The directory `dbt parse` ran in: the worktree's project directory.
  fs::path worktree() const {
    std::istringstream calls(project.read("bin/calls.log"));
    for (std::string line; std::getline(calls, line);) {
      if (line.starts_with("parse ")) {
        return line.substr(6);
      }
    }
    return {};
  }

  /// Both the worktree and the temporary directory made for it are gone, and
  /// git no longer lists the worktree.
  void expect_worktree_removed() const {
    const fs::path path = worktree();
    ASSERT_FALSE(path.empty()) << "dbt parse never ran in a worktree";
    const fs::path temporary =
        path.filename().string().starts_with("tarn-dbt-plan-state-") ? path : path.parent_path();
    EXPECT_THAT(temporary.filename().string(), StartsWith("tarn-dbt-plan-state-"));
    EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_FALSE(fs::exists(temporary)) << temporary;
    const ChildResult list =
        run_child({k_git, "worktree", "list", "--porcelain"}, project.project());
    EXPECT_EQ(list.out.find(temporary.string()), std::string::npos) << list.out;
  }

  ScratchProject project;
};

struct RunEnd {
  const char* name;
  const char* fault_file;  // written before the run, empty for none
  const char* fault_text;
  const char* start;
  int status;
  const char* error;  // the start of standard error
};

class BaselineRunEnd : public BaselineFaultTest, public ::testing::WithParamInterface<RunEnd> {};

TEST_P(BaselineRunEnd, RemovesTheWorktree) {
  if (*GetParam().fault_file != '\0') {
    project.write(GetParam().fault_file, GetParam().fault_text);
  }
  const ChildResult result = run_child(args(GetParam().start), project.project());
  EXPECT_EQ(result.status, GetParam().status) << result.err;
  EXPECT_THAT(result.err, StartsWith(GetParam().error));
  expect_worktree_removed();
}

INSTANTIATE_TEST_SUITE_P(
    BaselineFaultTest, BaselineRunEnd,
    ::testing::Values(RunEnd{"Success", "", "", "2024-03-10", 0, ""},
                      RunEnd{"FailingDbtLs", "bin/ls.exit", "2", "2024-03-10", 1, "error: `"},
                      RunEnd{"InvalidDate", "", "", "2024-02-30", 1,
                             "error: \"2024-02-30\" is not a valid YYYY-MM-DD date\n"},
                      RunEnd{"UnwritablePlanFile", "proj/out",
                             "a file where the directory should be", "2024-03-10", 1,
                             "error: could not create out: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BaselineFaultTest, InterruptionWhileDbtLsRunsRemovesTheWorktree) {
  project.write("bin/ls.sleep", "");
  const auto started = fault_detail::start(args(), project.project(), ChildSetup{});
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!project.exists("bin/ls.started") && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(started.pid, SIGINT);
  const ChildResult result = fault_detail::finish(started, std::chrono::seconds(60));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 130);
  EXPECT_EQ(result.err, "error: interrupted by SIGINT\n");
  EXPECT_FALSE(project.exists("proj/out/plan.json"));
  expect_worktree_removed();
}

}  // namespace
}  // namespace tarn::cli_test
