#include "state/state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "process/process.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

/// A repository whose `main` holds the project at analytics/, packages and all, and whose
/// checked-out `feature` has changed it since. TMPDIR, <root>/tmp, must end up empty.
struct Baseline : ::testing::Test {
  Baseline() {
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    fs::create_directories(root / "tmp");
    fs::create_directories(repo / "analytics/models");
    testing::write_file(repo / "analytics/dependencies.yml", "packages: []\n");
    EXPECT_TRUE(
        run_process({"sh", "-c",
                     "git init -qb main && git config user.name t && git config user.email t"
                     " && echo 'select 1 -- main' > analytics/models/orders.sql && git add ."
                     " && git commit -qm main && git checkout -qb feature && echo 'select 2"
                     " -- feature' > analytics/models/orders.sql && git commit -qam f"},
                    repo)
            ->success());
  }

  void TearDown() override {
    ::unsetenv("TMPDIR");
    EXPECT_EQ(git({"worktree", "list", "--porcelain"}).find("\nworktree "), std::string::npos);
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
  }

  /// git's trimmed standard output, or its standard error when it fails.
  std::string git(std::vector<std::string> args, const fs::path& dir = {}) {
    args.insert(args.begin(), "git");
    const ProcessResult result = run_process(args, dir.empty() ? repo : dir).value();
    const std::string& text = result.success() ? result.out : result.err;
    return text.substr(0, text.find_last_not_of("\n ") + 1);
  }

  BaselineRequest request(const std::string& select = "state:modified+") const {
    return {repo / "analytics", select, std::nullopt, std::nullopt, "main", "dbt", {}};
  }

  testing::ScratchDir root;
  const fs::path repo = root / "repo";
  testing::StandInDbt dbt;
};

TEST_F(Baseline, IsTheMergeBaseCompiledInAPrivateWorktreeAndRemovedOnRelease) {
  BaselineRequest wrapped = request();
  wrapped.dbt_command = "dbt --wrapper";
  wrapped.dbt_args = {"--target", "ci"};
  auto baseline = prepare_state_baseline(wrapped);
  ASSERT_TRUE(baseline) << baseline.error().message();
  const fs::path project = baseline->state_dir()->parent_path();
  const fs::path private_dir = project.parent_path().parent_path();
  EXPECT_EQ(*baseline->state_dir(), private_dir / "worktree/analytics/target");
  EXPECT_EQ(private_dir.parent_path(), root / "tmp");
  EXPECT_TRUE(private_dir.filename().string().starts_with("tarn-dbt-plan-state-"));
  struct stat info {};
  EXPECT_TRUE(::stat(private_dir.c_str(), &info) == 0 && (info.st_mode & 07777) == 0700);
  EXPECT_EQ(testing::read_file(project / "models/orders.sql"), "select 1 -- main\n");
  // Packages first, as the project declares some, then the manifest.
  EXPECT_EQ(dbt.log(), project.string() + "\n--wrapper\ndeps\n--target\nci\n--\n" +
                           project.string() + "\n--wrapper\nparse\n--target\nci\n--\n");
  StateBaseline moved;
  moved = std::move(*baseline);
  baseline->release();  // a moved-from baseline owns nothing
  moved.release();
  EXPECT_FALSE(moved.owns_worktree() || fs::exists(private_dir));
}

TEST_F(Baseline, IsBuiltOnlyWhenAStateMethodAppearsInASelectorAndNoStateIsGiven) {
  BaselineRequest request = this->request("orders+");
  request.exclude = "state:modified";
  EXPECT_TRUE(prepare_state_baseline(request)->owns_worktree());
  EXPECT_TRUE(prepare_state_baseline(this->request("tag:mystate:x"))->owns_worktree());
  request.state = "some/state dir";
  EXPECT_EQ(prepare_state_baseline(request)->state_dir(), "some/state dir");
  request = this->request("tag:State stat:e");
  request.exclude = "state :modified";
  EXPECT_FALSE(prepare_state_baseline(request)->owns_worktree());
}

struct Failure {
  const char* name;
  std::function<std::string(Baseline&, BaselineRequest&)> arrange;  // gives the message expected
};
void PrintTo(const Failure& c, std::ostream* os) {
  *os << c.name;
}

class BaselineFailure : public Baseline, public ::testing::WithParamInterface<Failure> {};

TEST_P(BaselineFailure, IsOneMessageAndLeavesNoWorktree) {
  BaselineRequest failing = request();
  const std::string message = GetParam().arrange(*this, failing);
  const auto baseline = prepare_state_baseline(failing);
  ASSERT_FALSE(baseline);
  EXPECT_EQ(baseline.error().message(), message);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, BaselineFailure,
    ::testing::Values(
        Failure{"NotInARepository",
                [](Baseline& t, BaselineRequest& r) {
                  r.project_dir = t.root / "tmp";
                  return r.project_dir.string() + ": not inside a git repository (" +
                         t.git({"rev-parse", "--show-toplevel"}, r.project_dir) + ")";
                }},
        Failure{"UnknownRef",
                [](Baseline& t, BaselineRequest& r) {
                  r.against = "nope";
                  return "could not find a merge-base between HEAD and nope in " + t.repo.string() +
                         " -- the histories may be unrelated, or nope may not exist (" +
                         t.git({"merge-base", "HEAD", "nope"}) + ")";
                }},
        Failure{"DepsFailed",
                [](Baseline& t, BaselineRequest&) {
                  t.dbt.behave("[ $1 = parse ] || { echo resolving; echo no hub >&2; exit 1; }");
                  return "could not compile the state:-comparison baseline: `dbt deps` failed:\n"
                         "stdout:\nresolving\n\nstderr:\nno hub\n";
                }},
        Failure{
            "ParseFailed",
            [](Baseline& t, BaselineRequest& r) {
              r.dbt_command = "dbt --x";
              t.dbt.behave("[ $2 = deps ] || { printf bad >&2; exit 2; }");
              return "could not compile the state:-comparison baseline: `dbt --x parse` failed:\n"
                     "stdout:\n\nstderr:\nbad";
            }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
