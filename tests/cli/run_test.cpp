// Whole runs against a stand-in dbt, with faults arranged around them: what the program prints,
// its status, the dbt it starts, the plan it leaves and that nothing else is left, however it ends.

#include <gmock/gmock.h>

#include <ctime>
#include <regex>

#include "process/process.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

// stg_events -> monthly, a month's lookback.
constexpr const char* k_manifest =
    R"json({"metadata": {"generated_at": "2026-12-05T13:59:41.123456Z"}, "nodes": {
  "model.p.stg_events": {"name": "stg_events", "resource_type": "model", "config": {}},
  "model.p.monthly": {"name": "monthly", "resource_type": "model",
    "depends_on": {"nodes": ["model.p.stg_events"]},
    "config": {"event_time": "ts", "meta": {"tarn": {"lookback": 1, "lookback_unit": "month"}}}}}})json";

// dbt rewrites target/manifest.json in place, truncating it first: this `parse` empties the
// manifest as soon as the program (the stand-in's parent) has mapped it.
constexpr const char* k_truncating_parse = R"sh(
touch target/manifest.json
(for try in $(seq 1000); do grep -q target/manifest.json /proc/$PPID/maps && break; sleep 0.005; done
 : > target/manifest.json) </dev/null >/dev/null 2>&1 &
)sh";

/// A chain of models whose SQL the reader skips, about 150 MB in all: long enough to read that
/// the truncation lands while it is read.
std::string huge_manifest() {
  std::string text = R"({"metadata": {}, "nodes": {)", sql(8000, 'x');
  for (std::size_t i = 0; text.size() < (std::size_t{150} << 20); ++i) {
    const std::string m = "m" + std::to_string(i);
    text += (i ? ",\"model.p." : "\"model.p.") + m + "\": {\"name\": \"" + m +
            "\", \"resource_type\": \"model\", \"raw_code\": \"" + sql + "\"}";
  }
  return text + "}}";
}

#define WINDOW "--event-time-start 2024-03-10 --event-time-end 2024-03-12"
#define PLAIN "--select stg_events -o out/plan.json " WINDOW
#define LS "ROOT/proj\nls\n--resource-type\nmodel\n--output\nname\n--quiet\n--select\n"
#define STREAMS ">../out.txt 2>../err.txt"
#define USAGE \
  "\n\nUsage: tarn-dbt-plan [OPTIONS] --select <SELECT>\n\nFor more information, try '--help'.\n"
#define USAGE_ERROR(NAME, ARGS, MESSAGE) \
  { .name = NAME, .args = ARGS, .status = 2, .err = "error: " MESSAGE USAGE, .calls = "" }

struct Case {
  const char* name;
  std::string args;      // shell words
  std::string dbt = "";  // the stand-in's behaviour, before `ls` answers stg_events
  std::vector<std::pair<std::string, std::string>> files = {};  // under the scratch root
  bool truncated = false;                                       // huge_manifest(), and stale
  std::string shell = "exec \"$@\" " STREAMS;  // starts the program, "$@", in the project
  int status = 0;
  std::string out = "", err = "";
  std::string calls = LS "stg_events\n--\n";  // the stand-in dbt's log
  bool plan_written = false;                  // a new plan although the run fails
  std::string plan_has = "";                  // a part of the new plan file
  friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

/// What differs from run to run (paths, times, yesterday) as fixed words.
std::string normalized(std::string text, const fs::path& root) {
  const std::time_t yesterday = std::time(nullptr) / 86400 * 86400 - 86400;
  char day[16];
  std::strftime(day, sizeof day, "%F", std::gmtime(&yesterday));
  for (const auto& [pattern, word] : std::vector<std::pair<std::string, std::string>>{
           {root.string(), "ROOT"},
           {R"(tarn-dbt-plan-state-\w{6}/worktree)", "BASELINE"},
           {R"(\.tmp\w{6})", ".tmpXXXXXX"},
           {R"(dbt_plan_\d{14}\.html)", "dbt_plan_TIME.html"},
           {day, "YESTERDAY"}}) {
    text = std::regex_replace(text, std::regex(pattern), word);
  }
  return text;
}

class Run : public ::testing::TestWithParam<Case> {};

TEST_P(Run, EndsAsExpected) {
  const Case& c = GetParam();
  const testing::ScratchDir scratch;
  const fs::path root = scratch.path, proj = root / "proj",
                 manifest = proj / "target/manifest.json";
  const testing::StandInDbt dbt(c.dbt + "\nif [ $1 = ls ]; then echo stg_events; fi");
  write_file(proj / "dbt_project.yml", "name: proj\nprofile: proj\n");
  write_file(manifest, c.truncated ? huge_manifest() : k_manifest);
  fs::last_write_time(manifest, fs::last_write_time(proj / "dbt_project.yml") +
                                    std::chrono::hours(c.truncated ? -1 : 1));
  for (const auto& [path, text] : c.files) {
    write_file(root / path, text);
  }
  fs::create_directories(root / "tmp");
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);                   // inherited by the program
  write_file(proj / "out/plan.json", "{\"previous\": \"plan\"}");  // kept by a failed run
  const std::string shell = "set -- \"$0\" " + c.args + "; " + c.shell;
  const auto ended = run_process({"sh", "-c", shell, TARN_BINARY}, proj).value();
  EXPECT_EQ(ended.exited ? ended.exit_code : -ended.signal, c.status);
  EXPECT_EQ(normalized(read_file(root / "out.txt"), root), c.out);
  EXPECT_EQ(normalized(read_file(root / "err.txt"), root), c.err);
  EXPECT_EQ(normalized(dbt.log(), root), c.calls);
  const std::string plan = normalized(read_file(proj / "out/plan.json"), root);
  const bool kept = c.status != 0 && !c.plan_written;
  EXPECT_THAT(plan, ::testing::HasSubstr(kept ? "{\"previous\": \"plan\"}" : "\"models\": ["));
  EXPECT_THAT(plan, ::testing::HasSubstr(c.plan_has));
  // Nothing is left in TMPDIR, where a baseline worktree goes, or beside the plan.
  EXPECT_EQ(run_process({"ls", "-A", "../tmp", "out"}, proj)->out, "../tmp:\n\nout:\nplan.json\n");
}

// clang-format off
const Case k_cases[] = {
    {.name = "ExplicitWindowWritesThePlanTheTreeAndTheWarnings",
     .args = "--select 'stg_events+  tag:x' --exclude tag:y -o out/plan.json --pretty " WINDOW,
     .dbt = "[ $1 = ls ] && printf 'stg_events\\nmonthly\\n' && exit",
     .files = {{"proj/tarn.yml", "dbt-command: env dbt\ndbt-args: --target ci\n"
                                 "dbt-plan:\n  max-window-expansion-days: 30\n"
                                 "  max-window-expansion-day: 30\n"}},
     .out = "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
            "  [layer 1] monthly [2024-02-10 .. 2024-03-12]\n",
     .err = "warning: ./tarn.yml: unknown key `max-window-expansion-day` under dbt-plan is ignored "
            "-- the key it knows is max-window-expansion-days\n"
            "warning: monthly: expanded window (32 days) exceeds max_window_expansion_days (30)\n",
     .calls = LS "stg_events+\ntag:x\n--exclude\ntag:y\n--target\nci\n--\n",
     .plan_has = "\"source\": \"explicit\"\n    },\n"
                 "    \"manifest_path\": \"./target/manifest.json\",\n"
                 "    \"manifest_generated_at\": \"2026-12-05T13:59:41.123456Z\",\n"
                 "    \"dbt_command\": \"env dbt\",\n"
                 "    \"max_window_expansion_days\": 30,\n"},
    {.name = "EmptySelectionIsNotedTheHtmlReportAnnouncedAndYesterdayTheWindow",
     .args = "--select stg_evnts+ --exclude tag:y -o out/plan.json --html --project-dir ../proj",
     .dbt = "exit",
     .out = "wrote ../proj/target/tarn/dbt-plan/dbt_plan_TIME.html\n",
     .err = "note: --select stg_evnts+ --exclude tag:y matched no models\n"
            "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (YESTERDAY)\n",
     .calls = LS "stg_evnts+\n--exclude\ntag:y\n--\n",
     .plan_has = "\"warnings\": []\n  },\n  \"models\": []\n}"},
    // A note is written to standard error, which refuses it.
    {.name = "FullStandardErrorIsIgnoredAndDbtArgsMayBeginWithAHyphen",
     .args = "--select stg_events -o out/plan.json --pretty --dbt-args --target",
     .shell = "exec \"$@\" >../out.txt 2>/dev/full",
     .out = "[layer 0] stg_events [YESTERDAY .. YESTERDAY]\n",
     .calls = LS "stg_events\n--target\n--\n"},
    {.name = "ManifestEmptiedWhileReadIsAMessageNotASignal", .args = "--select m0 -o out/plan.json",
     .dbt = k_truncating_parse, .truncated = true, .status = 1,
     .err = "error: ./target/manifest.json: the file changed while it was being read\n",
     .calls = "ROOT/proj\nparse\n--\n"},
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
            "explicitly -- there is no yesterday-default when --anchor is used\n", .calls = ""},
    {.name = "NotADbtProject", .args = "--select x --project-dir missing/dir", .status = 1,
     .err = "error: missing/dir does not look like a dbt project -- no dbt_project.yml found "
            "there. tarn-dbt-plan only works inside a dbt project: run it from the project root, "
            "or pass --project-dir pointing at one.\n", .calls = ""},
    {.name = "FileSizeLimitIsAMessageNotASignal", .args = PLAIN,
     .shell = "ulimit -f 1; exec \"$@\" " STREAMS, .status = 1,
     .err = "error: could not write out/plan.json: File too large at path \"out/.tmpXXXXXX\"\n"},
    // The reader opens the pipe and is gone before `ls` answers.
    {.name = "ClosedStandardOutputAfterAWrittenPlan", .args = PLAIN " --pretty",
     .dbt = "until [ -e ../closed ]; do sleep 0.01; done",
     .shell = "mkfifo ../pipe; { : <../pipe; touch ../closed; } & exec \"$@\" >../pipe 2>../err.txt",
     .status = 1, .err = "error: could not write to standard output: Broken pipe\n",
     .plan_written = true},
    // `ls`, like dbt, ends on the signals passed on to it with a status of its own, or logs
    // that none came; the first of the three is the one reported.
    {.name = "SighupAfterTheBaseline",
     .args = "--select state:modified+ --against HEAD -o out/plan.json " WINDOW,
     .dbt = "[ $1 = ls ] || exit 0; trap 'got=1' HUP INT TERM; kill -HUP $PPID; "
            "kill -TERM $PPID; kill -INT $PPID; for i in $(seq 500); do [ \"$got\" ] && exit 2; "
            "sleep 0.01; done; echo no signal >> \"$(dirname \"$0\")/log\"",
     .shell = "git init -q && git add dbt_project.yml && git -c user.name=t -c user.email=t "
              "commit -qm b && exec \"$@\" " STREAMS,
     .status = 129, .err = "error: interrupted by SIGHUP\n",
     .calls = "ROOT/tmp/BASELINE\nparse\n--\n" LS
              "state:modified+\n--state\nROOT/tmp/BASELINE/target\n--\n"},
    USAGE_ERROR("NoSelect", "", "--select is required"),
    USAGE_ERROR("SelectTwice", "--select a --select b",
                "--select: At Most 1 required but received 2"),
    USAGE_ERROR("ValueThatLooksLikeAnOption", "--select a --exclude --x",
                "a value is required for '--exclude' but none was supplied"),
    USAGE_ERROR("RunbookAndSummaryBothOnStandardOutput", "--select x --runbook - --summary -",
                "--runbook - and --summary - cannot both write to standard output"),
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Run, ::testing::ValuesIn(k_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
