// The whole program as a user runs it: command line, run sequence, streams,
// exit statuses and the files it leaves, against a stand-in dbt.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_fixture.h"

namespace tarn::cli_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// stg_events -> user_visits -> weekly_rollup (also from stg_events) -> monthly,
// plus a source and a seed that never reach the plan.
constexpr const char* k_manifest = R"json({
  "metadata": {"generated_at": "2026-12-05T13:59:41.123456Z", "dbt_version": "1.10.0"},
  "nodes": {
    "model.p.stg_events": {"name": "stg_events", "resource_type": "model",
      "depends_on": {"nodes": ["source.p.raw.events"]}, "config": {"event_time": "ts"}},
    "model.p.user_visits": {"name": "user_visits", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.stg_events", "seed.p.calendar"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 1}}}},
    "model.p.weekly_rollup": {"name": "weekly_rollup", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.user_visits", "model.p.stg_events"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 1, "lookback_unit": "week",
        "lookahead": 2, "lookback_overrides": {"stg_events": 0}}}}},
    "model.p.monthly": {"name": "monthly", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.weekly_rollup"]},
      "config": {"meta": {"tarn": {"lookback": 1, "lookback_unit": "month"}}}},
    "seed.p.calendar": {"name": "calendar", "resource_type": "seed"}
  },
  "sources": {"source.p.raw.events": {"name": "events"}}
})json";

constexpr const char* k_all_names = "stg_events\nuser_visits\nweekly_rollup\nmonthly\n";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    project.write_manifest(k_manifest);
    project.write("proj/tarn.yml", "dbt-plan:\n  max-window-expansion-days: 30\n");
    project.set_ls_output(k_all_names);
  }
  ScratchProject project;
};

constexpr const char* k_expected_document = R"json({
  "metadata": {
    "generated_at": "*",
    "anchor_selection": "stg_events+",
    "anchor_window": {
      "event_time_start": "2024-03-10",
      "event_time_end": "2024-03-12",
      "source": "explicit"
    },
    "manifest_path": "./target/manifest.json",
    "manifest_generated_at": "2026-12-05T13:59:41.123456Z",
    "dbt_command": "DBT",
    "max_window_expansion_days": 30,
    "warnings": [
      {
        "model": "monthly",
        "message": "expanded window (42 days) exceeds max_window_expansion_days (30)"
      },
      {
        "model": "monthly",
        "message": "declares config.meta.tarn (lookback/lookahead) but has no event_time configured -- this isn't a microbatch model in dbt's own terms, so this config has no real effect"
      }
    ]
  },
  "models": [
    {
      "name": "stg_events",
      "event_time_start": "2024-03-10",
      "event_time_end": "2024-03-12",
      "lookback": 0,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    },
    {
      "name": "user_visits",
      "event_time_start": "2024-03-09",
      "event_time_end": "2024-03-12",
      "lookback": 1,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [
        "stg_events"
      ],
      "layer": 1
    },
    {
      "name": "weekly_rollup",
      "event_time_start": "2024-03-02",
      "event_time_end": "2024-03-14",
      "lookback": 1,
      "lookback_unit": "week",
      "lookahead": 2,
      "lookahead_unit": "day",
      "depends_on": [
        "user_visits",
        "stg_events"
      ],
      "layer": 2
    },
    {
      "name": "monthly",
      "event_time_start": "2024-02-02",
      "event_time_end": "2024-03-14",
      "lookback": 1,
      "lookback_unit": "month",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [
        "weekly_rollup"
      ],
      "layer": 3
    }
  ]
})json";

TEST_F(RunTest, ExplicitWindowWritesTheDocumentAndPrintsOnlyWarnings) {
  RunResult result = project.run_with_dbt({"--select", "stg_events+", "--event-time-start",
                                           "2024-03-10", "--event-time-end", "2024-03-12"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "warning: monthly: expanded window (42 days) exceeds max_window_expansion_days (30)\n"
            "warning: monthly: declares config.meta.tarn (lookback/lookahead) but has no "
            "event_time configured -- this isn't a microbatch model in dbt's own terms, so this "
            "config has no real effect\n");
  std::string expected = k_expected_document;
  expected.replace(expected.find("\"DBT\""), 5, "\"" + project.dbt().string() + "\"");
  EXPECT_EQ(without_generated_at(project.read("proj/target/tarn/dbt_plan.json")), expected);
}

TEST_F(RunTest, PrettyPrintsTheTreeBeforeAnyNote) {
  RunResult result = project.run_with_dbt({"--select", "stg_events+", "--pretty"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Without a window every Entry Node gets yesterday; the layers still show.
  EXPECT_THAT(result.out, HasSubstr("[layer 0] stg_events ["));
  EXPECT_THAT(result.out, HasSubstr("\n  [layer 1] user_visits ["));
  EXPECT_THAT(result.out, HasSubstr("\n    [layer 2] weekly_rollup ["));
  EXPECT_THAT(result.err, ::testing::StartsWith(
                              "note: --event-time-start/--event-time-end not supplied, defaulting "
                              "every Entry Node to yesterday ("));
}

TEST_F(RunTest, TreeLinesAreExact) {
  RunResult result =
      project.run_with_dbt({"--select", "stg_events+", "--pretty", "--event-time-start",
                            "2024-03-10", "--event-time-end", "2024-03-12"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
            "  [layer 1] user_visits [2024-03-09 .. 2024-03-12]\n"
            "    [layer 2] weekly_rollup [2024-03-02 .. 2024-03-14]\n"
            "      [layer 3] monthly [2024-02-02 .. 2024-03-14]\n");
}

TEST_F(RunTest, DbtLsReceivesTheSelectorWordsInOrder) {
  project.write("proj/tarn.yml", "dbt-args: --target ci\n");
  RunResult result =
      project.run_with_dbt({"--select", "stg_events+ tag:daily", "--exclude", "monthly"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(
      project.dbt_log(),
      ElementsAre("cwd=" + project.project().string(), "arg=ls", "arg=--resource-type", "arg=model",
                  "arg=--output", "arg=name", "arg=--quiet", "arg=--select", "arg=stg_events+",
                  "arg=tag:daily", "arg=--exclude", "arg=monthly", "arg=--target", "arg=ci", "--"));
}

TEST_F(RunTest, AnUnknownKeyOfTheDbtPlanSectionIsWarnedAboutAndTheRunGoesOn) {
  project.write("proj/tarn.yml",
                "dbt_command: belongs-to-the-sibling-tool\n"
                "dbt-plan:\n  max-window-expansion-day: 30\n");
  project.set_ls_output("stg_events\n");
  RunResult result = project.run_with_dbt({"--select", "stg_events", "--event-time-start",
                                           "2024-03-10", "--event-time-end", "2024-03-12"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "warning: ./tarn.yml: unknown key `max-window-expansion-day` under dbt-plan is ignored "
            "-- the key it knows is max-window-expansion-days\n");
  EXPECT_THAT(project.read("proj/target/tarn/dbt_plan.json"),
              HasSubstr("\"max_window_expansion_days\": 90,"));
}

TEST_F(RunTest, DbtArgsAcceptsAValueBeginningWithAHyphen) {
  RunResult result = project.run_with_dbt({"--select", "stg_events", "--dbt-args", "--target"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(project.dbt_log()[project.dbt_log().size() - 2], "arg=--target");
}

TEST_F(RunTest, UnsplittableDbtArgsFailsBeforeAnyChildProcess) {
  RunResult result = project.run_with_dbt({"--select", "x", "--dbt-args", "--target 'ci"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "error: --dbt-args: missing closing quote\n");
  EXPECT_FALSE(project.exists("bin/dbt.log"));
}

TEST_F(RunTest, RelativePathsAreTakenFromTheCurrentDirectory) {
  RunResult result =
      project.run_with_dbt({"--project-dir", "proj", "--select", "stg_events", "-o", "plan.json",
                            "--event-time-start", "2024-01-01", "--event-time-end", "2024-01-01"},
                           ".");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(project.exists("plan.json"));
  EXPECT_FALSE(project.exists("proj/plan.json"));
  EXPECT_THAT(project.read("plan.json"),
              HasSubstr("\"manifest_path\": \"proj/target/manifest.json\""));
}

TEST_F(RunTest, HtmlAnnouncesOnlyTheReport) {
  RunResult result = project.run_with_dbt({"--select", "stg_events", "--html"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out, ::testing::MatchesRegex(
                              "wrote \\./target/tarn/dbt-plan/dbt_plan_[0-9]{14}\\.html\n"));
  std::string path = result.out.substr(6, result.out.size() - 7);
  EXPECT_THAT(project.read("proj/" + path), HasSubstr("window.TARN_DBT_PLAN_DATA = "));
}

TEST_F(RunTest, AnchorPlansAncestorsBackwards) {
  RunResult result = project.run_with_dbt({"--select", "stg_events+", "--anchor", "weekly_rollup",
                                           "--event-time-start", "2024-03-10", "--event-time-end",
                                           "2024-03-10", "--pretty"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "[layer 0] stg_events [2024-03-02 .. 2024-03-12]\n"
            "  [layer 1] user_visits [2024-03-03 .. 2024-03-12]\n"
            "    [layer 2] weekly_rollup [2024-03-10 .. 2024-03-10]\n"
            "      [layer 3] monthly [2024-02-10 .. 2024-03-10]\n");
  EXPECT_THAT(project.read("proj/target/tarn/dbt_plan.json"),
              HasSubstr("\"anchor_selection\": \"stg_events+\",\n"
                        "    \"anchor_model\": \"weekly_rollup\",\n"
                        "    \"anchor_window\": {"));
}

TEST_F(RunTest, EmptySelectionIsNotedWithTheSelectors) {
  // dbt's own word on a selector that matches nothing is hidden by --quiet.
  project.set_ls_output("");
  RunResult result =
      project.run_with_dbt({"--select", "stg_evnts+", "--exclude", "tag:rollup",
                            "--event-time-start", "2024-03-10", "--event-time-end", "2024-03-12"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "note: --select stg_evnts+ --exclude tag:rollup matched no models\n");
}

TEST_F(RunTest, WindowOptionsAreCheckedOnlyAfterTheDbtSteps) {
  RunResult result =
      project.run_with_dbt({"--select", "stg_events", "--event-time-start", "2024-01-01"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "error: --event-time-start and --event-time-end must be passed together, or not at "
            "all\n");
  EXPECT_THAT(project.dbt_log(), ::testing::Contains("arg=ls"));
}

TEST_F(RunTest, OnlyTheStartIsReportedWhenBothDatesAreInvalid) {
  RunResult result = project.run_with_dbt({"--select", "stg_events", "--event-time-start",
                                           "2024-02-30\t\"x\"", "--event-time-end", "nope"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "error: \"2024-02-30\\t\\\"x\\\"\" is not a valid YYYY-MM-DD date\n");
}

class EarlyCheckTest : public ::testing::Test {
 protected:
  ScratchProject project;
};

TEST_F(EarlyCheckTest, AnchorWithoutWindowFailsBeforeAnythingElse) {
  // Not even a dbt project: the anchor check comes first and starts nothing.
  RunResult result = project.run_with_dbt({"--select", "x", "--anchor", "m"}, "bin");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "error: --anchor requires --event-time-start and --event-time-end to both be passed "
            "explicitly -- there is no yesterday-default when --anchor is used\n");
  result = project.run_with_dbt(
      {"--select", "x", "--anchor", "m", "--event-time-start", "2024-01-01"}, "bin");
  EXPECT_THAT(result.err, HasSubstr("--anchor requires"));
  EXPECT_FALSE(project.exists("bin/dbt.log"));
}

TEST_F(EarlyCheckTest, DirectoryWithoutDbtProjectIsRejected) {
  RunResult result = project.run_with_dbt({"--select", "x"}, "bin");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "error: . does not look like a dbt project -- no dbt_project.yml found there. "
            "tarn-dbt-plan only works inside a dbt project: run it from the project root, or pass "
            "--project-dir pointing at one.\n");
  result = project.run_with_dbt({"--select", "x", "--project-dir", "missing/dir"}, "bin");
  EXPECT_THAT(result.err, ::testing::StartsWith("error: missing/dir does not look like"));
  EXPECT_FALSE(project.exists("bin/dbt.log"));
}

TEST_F(EarlyCheckTest, VersionAndHelp) {
  for (const char* flag : {"--version", "-V"}) {
    RunResult result = project.run({flag});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "tarn-dbt-plan 0.2.1\n");
    EXPECT_EQ(result.err, "");
  }
  RunResult help = project.run({"--help"});
  EXPECT_EQ(help.status, 0);
  const std::string about =
      std::string("tarn-dbt-plan: a static microbatch cascading time-window planner for dbt. ") +
      "Never executes anything";
  EXPECT_THAT(help.out, HasSubstr(about));
  EXPECT_THAT(help.out, HasSubstr("Usage: tarn-dbt-plan [OPTIONS] --select <SELECT>"));
  for (const char* text :
       {"-s,--select SELECT", "--exclude EXCLUDE", "--event-time-start EVENT_TIME_START",
        "--event-time-end EVENT_TIME_END", "--project-dir PROJECT_DIR", "--manifest MANIFEST",
        "-o,--output-file OUTPUT_FILE", "--pretty", "--html", "--dbt-command DBT_COMMAND",
        "--dbt-args DBT_ARGS", "--against AGAINST", "--state STATE", "--anchor ANCHOR",
        "The dbt project directory. Defaults to the current directory"}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  // The help explains itself: no pointers at documents or code a user does not have.
  for (const char* reference : {"spec", "§", "clap", "module doc", "allow_hyphen"}) {
    EXPECT_THAT(help.out, Not(HasSubstr(reference)));
  }
}

TEST_F(EarlyCheckTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--exclude", "x"},
      {"--select", "a", "--select", "b"},
      {"--select", "a", "--pretty", "--pretty"},
      {"--select", "a", "--bogus"},
      {"--select"},
      {"--select", "a", "--exclude", "--x"},
      {"--select", "a", "--pretty=yes"},
      {"--select", "a", "-o"},
      {"--select", "a", "--anchor", "-x"},
  };
  for (const auto& args : cases) {
    RunResult result = project.run(args);
    EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr("Usage: tarn-dbt-plan [OPTIONS] --select <SELECT>"));
  }
}

}  // namespace
}  // namespace tarn::cli_test
