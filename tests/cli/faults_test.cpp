// The program under file-system and stream faults: every failure is one
// "error: " line and exit status 1, a previous plan file survives, no
// temporary file is left behind, and a closed standard output or a full
// standard error never stops the plan file from being completed.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "fault_child.h"

namespace tarn::cli_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// raw -> stg -> fct, no warnings with the window below.
constexpr const char* k_manifest = R"json({
  "nodes": {
    "model.p.raw": {"name": "raw", "resource_type": "model", "config": {"event_time": "ts"}},
    "model.p.stg": {"name": "stg", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.raw"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 2}}}},
    "model.p.fct": {"name": "fct", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.stg"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookahead": 1, "lookahead_unit": "week"}}}}
  }
})json";

constexpr const char* k_previous_plan = "{\"previous\": \"plan\"}";

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    project.write_manifest(k_manifest);
    project.set_ls_output("raw\nstg\nfct\n");
  }

  std::vector<std::string> args(const std::string& output_file) const {
    return {TARN_BINARY,        "--select",   "raw+",          "--event-time-start",   "2024-03-10",
            "--event-time-end", "2024-03-12", "--dbt-command", project.dbt().string(), "-o",
            output_file};
  }

  ChildResult run(const std::vector<std::string>& argv, const ChildSetup& setup = {}) const {
    return run_child(argv, project.project(), setup);
  }

  /// Names in the directory that look like the writer's temporary files.
  static std::vector<std::string> temp_files_in(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      if (entry.path().filename().string().starts_with(".tmp")) {
        names.push_back(entry.path().filename().string());
      }
    }
    return names;
  }

  ScratchProject project;
};

TEST_F(FaultTest, FileSizeLimitFailsWithAMessageInsteadOfKillingTheProgram) {
  project.write("proj/out/plan.json", k_previous_plan);
  // Large enough for the messages, too small for the plan document.
  const ChildResult result = run(args("out/plan.json"), with_file_size_limit(600));
  EXPECT_EQ(result.signal, 0) << "killed by signal " << result.signal;
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, MatchesRegex("error: could not write out/plan.json: File too large at "
                                       "path \"out/\\.tmp[A-Za-z0-9]{6}\"\n"));
  EXPECT_EQ(project.read("proj/out/plan.json"), k_previous_plan);
  EXPECT_THAT(temp_files_in(project.project() / "out"), ::testing::IsEmpty());
}

TEST_F(FaultTest, SymbolicLinkTargetIsReplacedByTheDocumentAndItsFileIsLeftAlone) {
  // The rename replaces the link itself: the file it pointed at keeps its
  // old bytes, and the path becomes a regular file holding the new plan.
  project.write("proj/elsewhere.json", k_previous_plan);
  fs::create_symlink("elsewhere.json", project.project() / "plan.json");
  const ChildResult result = run(args("plan.json"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(fs::is_symlink(project.project() / "plan.json"));
  EXPECT_THAT(project.read("proj/plan.json"), HasSubstr("\"name\": \"fct\""));
  EXPECT_EQ(project.read("proj/elsewhere.json"), k_previous_plan);
}

TEST_F(FaultTest, ConcurrentRunsOnOneTargetLeaveOneCompleteDocument) {
  const ChildResult alone = run(args("out/plan.json"));
  ASSERT_EQ(alone.status, 0) << alone.err;
  const std::string expected = without_generated_at(project.read("proj/out/plan.json"));
  for (int round = 0; round < 10; ++round) {
    const std::vector<ChildResult> results = run_children_together(
        {args("out/plan.json"), args("out/plan.json"), args("out/plan.json")}, project.project());
    for (const ChildResult& result : results) {
      EXPECT_EQ(result.status, 0) << result.err;
    }
    EXPECT_EQ(without_generated_at(project.read("proj/out/plan.json")), expected);
    EXPECT_THAT(temp_files_in(project.project() / "out"), ::testing::IsEmpty());
  }
}

TEST_F(FaultTest, ClosedStandardOutputStillCompletesThePlanThenFails) {
  project.write("proj/out/plan.json", k_previous_plan);
  std::vector<std::string> argv = args("out/plan.json");
  argv.push_back("--pretty");
  const ChildResult result = run(argv, with_streams(Stream::closed_pipe, Stream::capture));
  EXPECT_EQ(result.signal, 0) << "killed by signal " << result.signal;
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "error: could not write to standard output: Broken pipe\n");
  EXPECT_THAT(project.read("proj/out/plan.json"), HasSubstr("\"name\": \"fct\""));
  EXPECT_THAT(temp_files_in(project.project() / "out"), ::testing::IsEmpty());
}

TEST_F(FaultTest, FullStandardErrorIsIgnored) {
  // Without a window the note about yesterday goes to standard error.
  const ChildResult result = run({TARN_BINARY, "--select", "raw+", "--dbt-command",
                                  project.dbt().string(), "--pretty", "-o", "out/plan.json"},
                                 with_streams(Stream::capture, Stream::dev_full));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, ContainsRegex("^\\[layer 0\\] raw \\["));
  EXPECT_THAT(project.read("proj/out/plan.json"), HasSubstr("\"source\": \"default_yesterday\""));
}

TEST_F(FaultTest, FailingRunWithAFullStandardErrorStillExitsWithOne) {
  project.write_manifest("{\"nodes\": ");
  const ChildResult result =
      run(args("out/plan.json"), with_streams(Stream::capture, Stream::dev_full));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(project.exists("proj/out/plan.json"));
}

TEST_F(FaultTest, ClosedStandardOutputAndFullStandardErrorTogether) {
  std::vector<std::string> argv = args("out/plan.json");
  argv.push_back("--pretty");
  const ChildResult result = run(argv, with_streams(Stream::closed_pipe, Stream::dev_full));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(project.read("proj/out/plan.json"), HasSubstr("\"name\": \"fct\""));
}

}  // namespace
}  // namespace tarn::cli_test
