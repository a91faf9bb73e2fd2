#include "state/state.h"

#include <gtest/gtest.h>

#include <regex>

#include "process/process.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* name;
  std::string select = "state:modified+";
  std::optional<std::string> exclude = {}, state = {};
  std::string project = "repo/analytics", against = "main", dbt = "";  // dbt: the stand-in's script
  std::string expected;  // $R: the scratch root; $P: the private directory holding the worktree
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

/// A baseline: its state directory, the worktree's model, then each dbt start.
const std::string kBuilt =
    "$P/worktree/analytics/target\nselect 1 -- main\n$P/worktree/analytics\n--wrapper\ndeps\n"
    "--target\nci\n--\n$P/worktree/analytics\n--wrapper\nparse\n--target\nci\n--\n";
const std::string kFailed = "error: could not compile the state:-comparison baseline: `dbt ";

/// A repository whose `main` holds the project at analytics/, with a packages file, and whose
/// checked-out `feature` has changed it since. TMPDIR, <root>/tmp, and git's list of worktrees
/// must end up empty.
struct Baseline : ::testing::TestWithParam<Case> {
  Baseline() {
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    fs::create_directories(root / "tmp");
    testing::write_file(root / "repo/analytics/dependencies.yml", "packages: []\n");
    EXPECT_TRUE(git("git init -qb main && git config user.name t && git config user.email t"
                    " && mkdir analytics/models && echo 'select 1 -- main' > analytics/models/m.sql"
                    " && git add . && git commit -qm main && git checkout -qb feature"
                    " && echo 'select 2' > analytics/models/m.sql && git commit -qam f")
                    .empty());
  }
  void TearDown() override {
    EXPECT_EQ(git("git worktree list --porcelain | grep -c ^worktree"), "1\n");
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
  }
  std::string git(const std::string& script) {
    return run_process({"sh", "-c", script}, root / "repo").value().out;
  }

  testing::ScratchDir root;
};

/// The outcome in kBuilt's form, "state: DIR" when no worktree is made, or "error: MESSAGE".
TEST_P(Baseline, IsCompiledAtTheMergeBaseInAPrivateWorktreeOrSaysWhyNot) {
  const Case& c = GetParam();
  const std::vector<std::string> args = {"--target", "ci"};
  const testing::StandInDbt dbt(c.dbt);
  std::string text;
  const auto baseline = prepare_state_baseline(
      {root / c.project, c.select, c.exclude, c.state, c.against, "dbt --wrapper", args});
  if (!baseline) {
    text = "error: " + baseline.error();
  } else if (baseline->state_dir().value_or("").is_relative()) {  // given or none
    text = "state: " + baseline->state_dir().value_or("none").string();
  } else {
    const fs::path state = *baseline->state_dir();
    const fs::path private_dir = root / "tmp" / *state.lexically_relative(root / "tmp").begin();
    EXPECT_EQ(fs::status(private_dir).permissions(), fs::perms::owner_all);
    text = state.string() + "\n" + testing::read_file(state.parent_path() / "models/m.sql") +
           dbt.log();
    text = std::regex_replace(text, std::regex(private_dir.string()), "$$P");
  }
  EXPECT_EQ(std::regex_replace(text, std::regex(root.path.string()), "$$R"), c.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Baseline, ::testing::ValuesIn(std::vector<Case>{
    {.name = "StateMethodInTheExclusion", .select = "m+", .exclude = "state:new",
     .expected = kBuilt},
    {.name = "StateMethodInATagName", .select = "tag:mystate:x", .expected = kBuilt},
    {.name = "GivenState", .exclude = "state:new", .state = "s dir", .expected = "state: s dir"},
    {.name = "NoStateMethod", .select = "tag:State stat:e", .exclude = "state :modified",
     .expected = "state: none"},
    {.name = "NotInARepository", .project = "tmp", .expected = "error: $R/tmp: not inside a git "
     "repository (fatal: not a git repository (or any of the parent directories): .git)"},
    {.name = "UnknownRef", .against = "nope", .expected = "error: could not find a merge-base "
     "between HEAD and nope in $R/repo -- the histories may be unrelated, or nope may not exist "
     "(fatal: Not a valid object name nope)"},
    {.name = "DepsFailed", .dbt = "exit 1",
     .expected = kFailed + "--wrapper deps` failed:\nstdout:\n\nstderr:\n"},
    {.name = "ParseFailed", .dbt = "[ $2 = deps ]",
     .expected = kFailed + "--wrapper parse` failed:\nstdout:\n\nstderr:\n"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace tarn
