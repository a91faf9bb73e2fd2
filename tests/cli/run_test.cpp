// Whole runs against a stand-in dbt: what the program prints, its exit status,
// the dbt it starts, the plan file it leaves, and that nothing else is left
// behind (no baseline worktree, no temporary file), however the run ends.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.h"
#include "process/process.h"
#include "util/shell_words.h"

namespace tarn::cli_test {
namespace {

using ::testing::HasSubstr;

// stg_events -> user_visits -> weekly_rollup (also from stg_events) -> monthly.
constexpr const char* k_manifest =
    R"json({"metadata": {"generated_at": "2026-12-05T13:59:41.123456Z"},
  "nodes": {"model.p.stg_events": {"name": "stg_events", "resource_type": "model",
      "config": {"event_time": "ts"}},
    "model.p.user_visits": {"name": "user_visits", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.stg_events"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 1}}}},
    "model.p.weekly_rollup": {"name": "weekly_rollup", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.user_visits", "model.p.stg_events"]},
      "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 1, "lookback_unit": "week",
                 "lookahead": 2, "lookback_overrides": {"stg_events": 0}}}}},
    "model.p.monthly": {"name": "monthly", "resource_type": "model",
      "depends_on": {"nodes": ["model.p.weekly_rollup"]},
      "config": {"event_time": "ts",
                 "meta": {"tarn": {"lookback": 1, "lookback_unit": "month"}}}}}})json";

constexpr const char* k_previous_plan = "{\"previous\": \"plan\"}";

#define WINDOW "--event-time-start 2024-03-10 --event-time-end 2024-03-12"
#define PLAIN "--select stg_events -o out/plan.json " WINDOW
#define STATE "--select state:modified+ --against HEAD -o out/plan.json " WINDOW
#define LS "ROOT/proj: ls --resource-type model --output name --quiet --select "
#define BASELINE_PARSE "ROOT/tmp/BASELINE: parse\n"
#define BASELINE_LS LS "state:modified+ --state ROOT/tmp/BASELINE/target\n"
#define ALL_FOUR \
  { "bin/ls.sh", "printf 'stg_events\\nuser_visits\\nweekly_rollup\\nmonthly\\n'; exit 0" }
#define SLOW_LS \
  { "bin/ls.sh", "touch \"$here/started\"; exec sleep 60" }
// Like dbt, catches the signal and exits with a status of its own.
#define TRAPPING_LS \
  { "bin/ls.sh", "trap 'kill $!; exit 2' INT; touch \"$here/started\"; sleep 60 & wait" }
#define USAGE \
  "\n\nUsage: tarn-dbt-plan [OPTIONS] --select <SELECT>\n\nFor more information, try '--help'.\n"

// A new plan file, or the previous one untouched; by default the first after a success and
// the second after a failure.
enum class Plan { by_status, written, kept };

struct Case {
  const char* name;
  std::string args;  // shell words; "--dbt-command <stand-in>" follows
  std::vector<std::pair<std::string, std::string>> files = {};  // under the scratch root
  bool stale = false;  // the manifest is older than dbt_project.yml, so dbt parse is due
  bool git = false;    // the project is a git repository with one commit
  Io io = {};
  int status = 0;
  std::string out = "";
  std::string err = "";
  std::string calls = LS "stg_events\n";  // one "<directory>: <arguments>" line per dbt start
  Plan plan = Plan::by_status;
  std::string plan_has = "";  // a part of the new plan file
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class Run : public ::testing::TestWithParam<Case> {};

TEST_P(Run, EndsAsExpected) {
  const Case& c = GetParam();
  Project project;
  const fs::path proj = project.root() / "proj";
  project.write("proj/target/manifest.json", k_manifest);
  project.date_manifest(c.stale);
  for (const auto& [path, text] : c.files) {
    project.write(path, text);
  }
  const std::string git = "git -c user.name=t -c user.email=t@example.com ";
  ASSERT_TRUE(!c.git || run_process({"sh", "-c",
                                     git + "init -q && " + git + "add dbt_project.yml && " + git +
                                         "commit -qm base"},
                                    proj)
                            ->success());
  const bool kept = c.plan == Plan::kept || (c.plan == Plan::by_status && c.status != 0);
  if (kept) {
    project.write("proj/out/plan.json", k_previous_plan);
  }
  std::vector<std::string> args = *split_shell_words(c.args);
  args.insert(args.end(), {"--dbt-command", project.root() / "bin/dbt"});

  const Ended ended = project.run(args, c.io);

  EXPECT_EQ(ended.signal, 0);
  EXPECT_EQ(ended.status, c.status);
  EXPECT_EQ(project.normalized(ended.out), c.out);
  EXPECT_EQ(project.normalized(ended.err), c.err);
  EXPECT_EQ(project.normalized(project.read("bin/calls.log")), c.calls);
  const std::string plan = project.normalized(project.read("proj/out/plan.json"));
  EXPECT_THAT(plan, HasSubstr(kept ? k_previous_plan : "\"models\": ["));
  EXPECT_THAT(plan, HasSubstr(c.plan_has));
  // Nothing else is left behind: no baseline, no temporary file, no registered worktree.
  EXPECT_TRUE(fs::is_empty(project.root() / "tmp"));
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(proj / "out", ec)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".tmp")) << entry.path();
  }
  if (c.git) {
    const std::string listed = run_process({"git", "worktree", "list", "--porcelain"}, proj)->out;
    EXPECT_EQ(listed.find("\nworktree "), std::string::npos) << listed;
  }
}

// clang-format off
const Case k_runs[] = {
    {.name = "ExplicitWindowWritesThePlanTheTreeAndTheWarnings",
     .args = "--select 'stg_events+ tag:x' --exclude tag:y -o out/plan.json --pretty " WINDOW,
     .files = {ALL_FOUR, {"proj/tarn.yml", "dbt-args: --target ci\n"
                                           "dbt-plan:\n  max-window-expansion-days: 30\n"}},
     .out = "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
            "  [layer 1] user_visits [2024-03-09 .. 2024-03-12]\n"
            "    [layer 2] weekly_rollup [2024-03-02 .. 2024-03-14]\n"
            "      [layer 3] monthly [2024-02-02 .. 2024-03-14]\n",
     .err = "warning: monthly: expanded window (42 days) exceeds max_window_expansion_days (30)\n",
     .calls = LS "stg_events+ tag:x --exclude tag:y --target ci\n",
     .plan_has = "\"manifest_path\": \"./target/manifest.json\",\n"
                 "    \"manifest_generated_at\": \"2026-12-05T13:59:41.123456Z\",\n"
                 "    \"dbt_command\": \"ROOT/bin/dbt\",\n"
                 "    \"max_window_expansion_days\": 30,\n"},
    {.name = "AnchorPlansAncestorsBackwards",
     .args = "--select stg_events+ --anchor weekly_rollup -o out/plan.json --pretty "
             "--event-time-start 2024-03-10 --event-time-end 2024-03-10",
     .files = {ALL_FOUR},
     .out = "[layer 0] stg_events [2024-03-02 .. 2024-03-12]\n"
            "  [layer 1] user_visits [2024-03-03 .. 2024-03-12]\n"
            "    [layer 2] weekly_rollup [2024-03-10 .. 2024-03-10]\n"
            "      [layer 3] monthly [2024-02-10 .. 2024-03-10]\n",
     .calls = LS "stg_events+\n", .plan_has = "\"anchor_model\": \"weekly_rollup\""},
    {.name = "NoWindowMeansYesterdayAndDbtArgsMayBeginWithAHyphen",
     .args = "--select stg_events -o out/plan.json --pretty --dbt-args --target",
     .out = "[layer 0] stg_events [YESTERDAY .. YESTERDAY]\n",
     .err = "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (YESTERDAY)\n",
     .calls = LS "stg_events --target\n"},
    {.name = "EmptySelectionIsNotedWithTheSelectors",
     .args = "--select stg_evnts+ --exclude tag:rollup -o out/plan.json " WINDOW,
     .files = {{"bin/ls.sh", "exit 0"}},
     .err = "note: --select stg_evnts+ --exclude tag:rollup matched no models\n",
     .calls = LS "stg_evnts+ --exclude tag:rollup\n"},
    {.name = "UnknownKeyOfTheDbtPlanSectionIsWarnedAbout", .args = PLAIN,
     .files = {{"proj/tarn.yml", "dbt-plan:\n  max-window-expansion-day: 30\n"}},
     .err = "warning: ./tarn.yml: unknown key `max-window-expansion-day` under dbt-plan is ignored "
            "-- the key it knows is max-window-expansion-days\n"},
    {.name = "HtmlAnnouncesOnlyTheReport", .args = PLAIN " --html",
     .out = "wrote ./target/tarn/dbt-plan/dbt_plan_TIME.html\n"},
    {.name = "FullStandardErrorIsIgnored", .args = "--select stg_events -o out/plan.json --pretty",
     .io = {.err = Stream::dev_full}, .out = "[layer 0] stg_events [YESTERDAY .. YESTERDAY]\n"},
    {.name = "StateBaselineIsCompiledInAWorktreeThenRemoved", .args = STATE, .git = true,
     .calls = BASELINE_PARSE BASELINE_LS},
    {.name = "Version", .args = "--version", .out = "tarn-dbt-plan " TARN_VERSION "\n",
     .calls = "", .plan = Plan::kept},
};

const Case k_faults[] = {
    {.name = "DbtLsFails", .args = PLAIN,
     .files = {{"bin/ls.sh", "echo partial; echo 'Runtime Error' >&2; exit 2"}}, .status = 1,
     .err = "error: `ROOT/bin/dbt ls` failed:\nstdout:\npartial\n\nstderr:\nRuntime Error\n\n"},
    {.name = "StaleManifestAndAFailingDbtParse", .args = PLAIN,
     .files = {{"bin/parse.sh", "echo 'Parsing Error'; exit 1"}}, .stale = true, .status = 1,
     .err = "error: `ROOT/bin/dbt parse` failed to refresh the manifest:\n"
            "stdout:\nParsing Error\n\nstderr:\n\n",
     .calls = "ROOT/proj: parse\n"},
    {.name = "HalfAWindowIsCheckedAfterTheDbtSteps",
     .args = "--select stg_events -o out/plan.json --event-time-start 2024-01-01", .status = 1,
     .err = "error: --event-time-start and --event-time-end must be passed together, or not at "
            "all\n"},
    {.name = "OfTwoInvalidDatesOnlyTheStartIsReported",
     .args = "--select stg_events --event-time-start '2024-02-30\t\"x\"' --event-time-end nope",
     .status = 1, .err = "error: \"2024-02-30\\t\\\"x\\\"\" is not a valid YYYY-MM-DD date\n"},
    {.name = "AnchorWithoutAWindowIsCheckedFirst",
     .args = "--select x --anchor m --event-time-start 2024-01-01 --project-dir nowhere",
     .status = 1,
     .err = "error: --anchor requires --event-time-start and --event-time-end to both be passed "
            "explicitly -- there is no yesterday-default when --anchor is used\n",
     .calls = ""},
    {.name = "NotADbtProject", .args = "--select x --project-dir missing/dir", .status = 1,
     .err = "error: missing/dir does not look like a dbt project -- no dbt_project.yml found "
            "there. tarn-dbt-plan only works inside a dbt project: run it from the project root, "
            "or pass --project-dir pointing at one.\n",
     .calls = ""},
    {.name = "UnsplittableDbtArgs", .args = "--select x --dbt-args \"--target 'ci\"", .status = 1,
     .err = "error: --dbt-args: missing closing quote\n", .calls = ""},
    {.name = "FileSizeLimitIsAMessageNotASignal", .args = PLAIN, .io = {.file_size = 600},
     .status = 1,
     .err = "error: could not write out/plan.json: File too large at path \"out/.tmpXXXXXX\"\n"},
    {.name = "ClosedStandardOutputAfterAWrittenPlan", .args = PLAIN " --pretty",
     .io = {.out = Stream::closed_pipe}, .status = 1,
     .err = "error: could not write to standard output: Broken pipe\n", .plan = Plan::written},
    {.name = "SigintWhileDbtRunsThatExitsOnItsOwn", .args = PLAIN, .files = {TRAPPING_LS},
     .io = {.signal = SIGINT}, .status = 130, .err = "error: interrupted by SIGINT\n"},
    {.name = "SigtermWhileDbtRuns", .args = PLAIN, .files = {SLOW_LS}, .io = {.signal = SIGTERM},
     .status = 143, .err = "error: interrupted by SIGTERM\n"},
    {.name = "SighupWhileDbtRuns", .args = PLAIN, .files = {SLOW_LS}, .io = {.signal = SIGHUP},
     .status = 129, .err = "error: interrupted by SIGHUP\n"},
    {.name = "BaselineThatDbtCannotCompile", .args = STATE,
     .files = {{"bin/parse.sh", "echo 'Compilation Error'; exit 3"}}, .git = true, .status = 1,
     .err = "error: could not compile the state:-comparison baseline: `ROOT/bin/dbt parse` "
            "failed:\nstdout:\nCompilation Error\n\nstderr:\n\n",
     .calls = BASELINE_PARSE},
    {.name = "SigintAfterTheBaseline", .args = STATE, .files = {SLOW_LS}, .git = true,
     .io = {.signal = SIGINT}, .status = 130, .err = "error: interrupted by SIGINT\n",
     .calls = BASELINE_PARSE BASELINE_LS},
};

#define USAGE_ERROR(NAME, ARGS, MESSAGE) \
  {.name = NAME, .args = ARGS, .status = 2, .err = "error: " MESSAGE USAGE, .calls = ""}
const Case k_usage_errors[] = {
    USAGE_ERROR("NoSelect", "", "--select is required"),
    USAGE_ERROR("SelectTwice", "--select a --select b",
                "--select: At Most 1 required but received 2"),
    USAGE_ERROR("ValueThatLooksLikeAnOption", "--select a --exclude --x",
                "a value is required for '--exclude' but none was supplied"),
    USAGE_ERROR("RunbookAndSummaryBothOnStandardOutput", "--select x --runbook - --summary -",
                "--runbook - and --summary - cannot both write to standard output"),
};
// clang-format on

std::string name_of(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Runs, Run, ::testing::ValuesIn(k_runs), name_of);
INSTANTIATE_TEST_SUITE_P(Faults, Run, ::testing::ValuesIn(k_faults), name_of);
INSTANTIATE_TEST_SUITE_P(UsageErrors, Run, ::testing::ValuesIn(k_usage_errors), name_of);

}  // namespace
}  // namespace tarn::cli_test
