// Whole runs of the program against a stand-in dbt, with faults arranged around it: what it
// prints, its exit status, the dbt it starts, the plan file it leaves, and that nothing else is
// left behind (no baseline worktree, no temporary file), however the run ends.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

#include "process/process.h"
#include "unit/support/scratch_dir.h"
#include "util/shell_words.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::write_file;

// Logs "<directory>: <arguments>" per start, then sources bin/<subcommand>.sh if there is
// one; `ls` answers stg_events unless that script exits first.
constexpr const char* k_standin = R"sh(#!/bin/sh
here=$(dirname "$0")
echo "$(pwd -P): $*" >> "$here/calls.log"
if [ -f "$here/$1.sh" ]; then . "$here/$1.sh"; fi
if [ "$1" = ls ]; then echo stg_events; fi
)sh";

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

// dbt rewrites target/manifest.json in place, truncating it first: this `parse` empties the
// manifest as soon as the program (the stand-in's parent) has mapped it.
constexpr const char* k_truncating_parse = R"sh(
touch target/manifest.json
reader=$PPID
(for try in $(seq 1000); do grep -q target/manifest.json /proc/$reader/maps && break; sleep 0.005; done
 : > target/manifest.json) </dev/null >/dev/null 2>&1 &
exit 0
)sh";

/// A chain of models whose SQL the reader skips, about 150 MB in all: long enough to read that
/// the truncation lands while it is read.
void write_huge_manifest(const fs::path& path) {
  const std::string sql(8000, 'x');
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << R"({"metadata": {}, "nodes": {)";
  for (std::size_t i = 0; out.tellp() < (std::streamoff{150} << 20); ++i) {
    out << (i ? "," : "") << "\"model.p.m" << i << "\": {\"name\": \"m" << i
        << "\", \"resource_type\": \"model\", \"raw_code\": \"" << sql << "\"}";
  }
  out << "}}";
}

#define WINDOW "--event-time-start 2024-03-10 --event-time-end 2024-03-12"
#define PLAIN "--select stg_events -o out/plan.json " WINDOW
#define STATE "--select state:modified+ --against HEAD -o out/plan.json " WINDOW
#define LS "ROOT/proj: ls --resource-type model --output name --quiet --select "
#define BASELINE_PARSE "ROOT/tmp/BASELINE: parse\n"
#define BASELINE_LS LS "state:modified+ --state ROOT/tmp/BASELINE/target\n"
#define SLOW_LS \
  { "bin/ls.sh", "touch \"$here/started\"; exec sleep 60" }
// Like dbt, catches the signal and exits with a status of its own.
#define TRAPPING_LS \
  { "bin/ls.sh", "trap 'kill $!; exit 2' INT; touch \"$here/started\"; sleep 60 & wait" }
#define USAGE \
  "\n\nUsage: tarn-dbt-plan [OPTIONS] --select <SELECT>\n\nFor more information, try '--help'.\n"
#define USAGE_ERROR(NAME, ARGS, MESSAGE) \
  { .name = NAME, .args = ARGS, .status = 2, .err = "error: " MESSAGE USAGE, .calls = "" }

enum class Stream { capture, closed_pipe, dev_full };

struct Case {
  const char* name;
  std::string args;  // shell words; "--dbt-command <stand-in>" follows
  std::vector<std::pair<std::string, std::string>> files = {};  // under the scratch root
  bool stale = false;  // the manifest is older than dbt_project.yml, so dbt parse is due
  bool huge = false;   // write_huge_manifest instead of k_manifest
  bool git = false;    // the project is a git repository with one commit
  Stream out_stream = Stream::capture, err_stream = Stream::capture;
  rlim_t file_size = RLIM_INFINITY;
  int signal = 0;  // sent once the stand-in has touched bin/started
  int status = 0;
  std::string out = "";
  std::string err = "";
  std::string calls = LS "stg_events\n";  // one "<directory>: <arguments>" line per dbt start
  bool plan_written = false;              // a new plan although the run fails
  std::string plan_has = "";              // a part of the new plan file
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

/// The child's stream: a capture file, /dev/full, or a pipe whose reader is gone.
int open_stream(Stream stream, const fs::path& capture) {
  int ends[2] = {-1, -1};
  if (stream == Stream::closed_pipe && ::pipe2(ends, O_CLOEXEC) == 0) {
    ::close(ends[0]);
  }
  return stream == Stream::closed_pipe
             ? ends[1]
             : ::open(stream == Stream::dev_full ? "/dev/full" : capture.c_str(),
                      O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
}

/// Runs the program in <root>/proj; its exit status, or minus the signal that ended it.
int run_program(std::vector<std::string> args, const Case& c, const fs::path& root) {
  args.insert(args.begin(), TARN_BINARY);
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int out = open_stream(c.out_stream, root / "out.txt");
  const int err = open_stream(c.err_stream, root / "err.txt");
  const std::string cwd = (root / "proj").string();
  const rlimit limit{c.file_size, c.file_size};
  const pid_t pid = ::fork();
  if (pid == 0) {  // only async-signal-safe calls until exec
    // Default dispositions, so that the program has to ignore SIGPIPE and SIGXFSZ itself.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    if (::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0 ||
        ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      ::_exit(125);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  for (int wait = 0; c.signal != 0 && wait < 12'000 && !fs::exists(root / "bin/started"); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (c.signal != 0) {
    ::kill(pid, c.signal);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

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
  const fs::path& root = scratch.path();
  const fs::path proj = root / "proj", manifest = proj / "target/manifest.json";
  write_file(root / "bin/dbt", k_standin);
  fs::permissions(root / "bin/dbt", fs::perms::owner_all);
  write_file(proj / "dbt_project.yml", "name: proj\nprofile: proj\n");
  c.huge ? write_huge_manifest(manifest) : write_file(manifest, k_manifest);
  fs::last_write_time(manifest, fs::last_write_time(proj / "dbt_project.yml") +
                                    std::chrono::hours(c.stale ? -1 : 1));
  for (const auto& [path, text] : c.files) {
    write_file(root / path, text);
  }
  fs::create_directories(root / "tmp");
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);  // inherited by the program
  const std::string commit =
      "git init -q && git add dbt_project.yml && git -c user.name=t -c user.email=t commit -qm b";
  ASSERT_TRUE(!c.git || run_process({"sh", "-c", commit}, proj)->success());
  const bool kept = c.status != 0 && !c.plan_written;
  if (kept) {
    write_file(proj / "out/plan.json", k_previous_plan);
  }
  std::vector<std::string> args = *split_shell_words(c.args);
  args.insert(args.end(), {"--dbt-command", root / "bin/dbt"});

  EXPECT_EQ(run_program(args, c, root), c.status);
  EXPECT_EQ(normalized(read_file(root / "out.txt"), root), c.out);
  EXPECT_EQ(normalized(read_file(root / "err.txt"), root), c.err);
  EXPECT_EQ(normalized(read_file(root / "bin/calls.log"), root), c.calls);
  const std::string plan = normalized(read_file(proj / "out/plan.json"), root);
  EXPECT_THAT(plan, ::testing::HasSubstr(kept ? k_previous_plan : "\"models\": ["));
  EXPECT_THAT(plan, ::testing::HasSubstr(c.plan_has));
  EXPECT_TRUE(fs::is_empty(root / "tmp"));
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
     .files = {{"bin/ls.sh", "printf 'stg_events\\nuser_visits\\nweekly_rollup\\nmonthly\\n'; exit 0"},
               {"proj/tarn.yml", "dbt-args: --target ci\ndbt-plan:\n  max-window-expansion-days: 30\n"
                                 "  max-window-expansion-day: 30\n"}},
     .out = "[layer 0] stg_events [2024-03-10 .. 2024-03-12]\n"
            "  [layer 1] user_visits [2024-03-09 .. 2024-03-12]\n"
            "    [layer 2] weekly_rollup [2024-03-02 .. 2024-03-14]\n"
            "      [layer 3] monthly [2024-02-02 .. 2024-03-14]\n",
     .err = "warning: ./tarn.yml: unknown key `max-window-expansion-day` under dbt-plan is ignored "
            "-- the key it knows is max-window-expansion-days\n"
            "warning: monthly: expanded window (42 days) exceeds max_window_expansion_days (30)\n",
     .calls = LS "stg_events+ tag:x --exclude tag:y --target ci\n",
     .plan_has = "\"manifest_path\": \"./target/manifest.json\",\n"
                 "    \"manifest_generated_at\": \"2026-12-05T13:59:41.123456Z\",\n"
                 "    \"dbt_command\": \"ROOT/bin/dbt\",\n"
                 "    \"max_window_expansion_days\": 30,\n"},
    {.name = "NoWindowMeansYesterdayAndDbtArgsMayBeginWithAHyphen",
     .args = "--select stg_events -o out/plan.json --pretty --dbt-args --target",
     .out = "[layer 0] stg_events [YESTERDAY .. YESTERDAY]\n",
     .err = "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (YESTERDAY)\n",
     .calls = LS "stg_events --target\n"},
    {.name = "EmptySelectionIsNotedAndTheHtmlReportAnnounced",
     .args = "--select stg_evnts+ --exclude tag:rollup -o out/plan.json --html " WINDOW,
     .files = {{"bin/ls.sh", "exit 0"}},
     .out = "wrote ./target/tarn/dbt-plan/dbt_plan_TIME.html\n",
     .err = "note: --select stg_evnts+ --exclude tag:rollup matched no models\n",
     .calls = LS "stg_evnts+ --exclude tag:rollup\n"},
    {.name = "FullStandardErrorIsIgnored", .args = "--select stg_events -o out/plan.json --pretty",
     .err_stream = Stream::dev_full, .out = "[layer 0] stg_events [YESTERDAY .. YESTERDAY]\n"},
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
    {.name = "ManifestEmptiedWhileReadIsAMessageNotASignal", .args = "--select m0 -o out/plan.json",
     .files = {{"bin/parse.sh", k_truncating_parse}}, .stale = true, .huge = true, .status = 1,
     .err = "error: ./target/manifest.json: the file changed while it was being read\n",
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
    {.name = "FileSizeLimitIsAMessageNotASignal", .args = PLAIN, .file_size = 600, .status = 1,
     .err = "error: could not write out/plan.json: File too large at path \"out/.tmpXXXXXX\"\n"},
    {.name = "ClosedStandardOutputAfterAWrittenPlan", .args = PLAIN " --pretty",
     .out_stream = Stream::closed_pipe, .status = 1,
     .err = "error: could not write to standard output: Broken pipe\n", .plan_written = true},
    {.name = "SigintWhileDbtRunsThatExitsOnItsOwn", .args = PLAIN, .files = {TRAPPING_LS},
     .signal = SIGINT, .status = 130, .err = "error: interrupted by SIGINT\n"},
    {.name = "SigtermWhileDbtRuns", .args = PLAIN, .files = {SLOW_LS}, .signal = SIGTERM,
     .status = 143, .err = "error: interrupted by SIGTERM\n"},
    {.name = "SighupWhileDbtRuns", .args = PLAIN, .files = {SLOW_LS}, .signal = SIGHUP,
     .status = 129, .err = "error: interrupted by SIGHUP\n"},
    {.name = "BaselineThatDbtCannotCompile", .args = STATE,
     .files = {{"bin/parse.sh", "echo 'Compilation Error'; exit 3"}}, .git = true, .status = 1,
     .err = "error: could not compile the state:-comparison baseline: `ROOT/bin/dbt parse` "
            "failed:\nstdout:\nCompilation Error\n\nstderr:\n\n",
     .calls = BASELINE_PARSE},
    {.name = "SigintAfterTheBaseline", .args = STATE, .files = {SLOW_LS}, .git = true,
     .signal = SIGINT, .status = 130, .err = "error: interrupted by SIGINT\n",
     .calls = BASELINE_PARSE BASELINE_LS},
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

}  // namespace
}  // namespace tarn
