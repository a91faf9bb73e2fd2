#include "state/state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "process/process.h"
#include "unit/support/stand_in_dbt.h"
#include "util/interrupt.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::DbtCall;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScopedEnv;
using testing::ScratchDir;
using testing::StandInDbt;
using ::testing::StartsWith;
using testing::write_file;

struct GitRun {
  bool success = false;
  std::string out;
  std::string err;
};

GitRun git_in(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"git", "-c", "user.name=Test", "-c", "user.email=test@example.com"});
  auto result = run_process(args, dir);
  if (!result) {
    return GitRun{false, "", result.error()};
  }
  auto strip = [](std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
      text.pop_back();
    }
    return text;
  };
  return GitRun{result->success(), strip(result->out), strip(result->err)};
}

/// A repository whose `main` holds the project as it was, and whose checked
/// out branch `feature` has changed it since.
class StateBaselineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(temp_);
    create_repository();
  }

  void TearDown() override {
    auto list = git_in(repo_, {"worktree", "list", "--porcelain"});
    const std::string lines = "\n" + list.out;
    std::size_t worktrees = 0;
    for (std::size_t at = lines.find("\nworktree "); at != std::string::npos;
         at = lines.find("\nworktree ", at + 1)) {
      ++worktrees;
    }
    EXPECT_EQ(worktrees, 1u) << list.out;
    EXPECT_THAT(private_directories(), IsEmpty());
  }

  void git(std::vector<std::string> args) {
    auto run = git_in(repo_, args);
    ASSERT_TRUE(run.success) << run.err;
  }

  void commit_file(const std::string& path, const std::string& content) {
    write_file(repo_ / path, content);
    git({"add", path});
    git({"commit", "-q", "-m", "change " + path});
  }

  virtual void project_files() {
    commit_file("analytics/dbt_project.yml", "name: shop\n");
    commit_file("analytics/models/orders.sql", "select 1 -- main\n");
  }

  void create_repository() {
    fs::create_directories(repo_);
    git({"init", "-q", "-b", "main"});
    project_files();
    base_commit_ = git_in(repo_, {"rev-parse", "HEAD"}).out;
    git({"checkout", "-q", "-b", "feature"});
    commit_file("analytics/models/orders.sql", "select 2 -- feature\n");
  }

  std::vector<std::string> private_directories() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(temp_)) {
      if (entry.path().filename().string().starts_with("tarn-dbt-plan-state-")) {
        found.push_back(entry.path().filename().string());
      }
    }
    return found;
  }

  /// A stand-in dbt whose parse writes target/manifest.json where it runs.
  void dbt_behaves(const std::string& deps, const std::string& parse = "") {
    dbt_ = StandInDbt(tools_.path(),
                      "for a in \"$@\"; do case \"$a\" in\n"
                      "  deps) " +
                          (deps.empty() ? std::string(":") : deps) +
                          "; exit $?;;\n"
                          "  parse) " +
                          (parse.empty() ? std::string(":") : parse) +
                          " || exit $?; mkdir -p target && printf '{}' > target/manifest.json; "
                          "exit 0;;\n"
                          "esac; done; exit 64");
  }

  BaselineRequest request(const std::string& select = "state:modified+") const {
    return BaselineRequest{repo_ / "analytics",     select, std::nullopt, std::nullopt, "main",
                           dbt_.program().string(), {}};
  }

  ScratchDir work_;
  fs::path repo_ = work_ / "repo";
  fs::path temp_ = work_ / "tmp";
  ScopedEnv tmpdir_{"TMPDIR", temp_.string()};
  ScratchDir tools_;
  StandInDbt dbt_{tools_.path(), ""};
  std::string base_commit_;
};

class PreparedBaseline : public StateBaselineTest {
 protected:
  void SetUp() override {
    StateBaselineTest::SetUp();
    dbt_behaves("");
  }
};

struct NoWorktreeCase {
  const char* name;
  const char* select;
  std::optional<std::string> exclude;
  std::optional<std::string> state;
};

class NoWorktree : public StateBaselineTest,
                   public ::testing::WithParamInterface<NoWorktreeCase> {};

TEST_P(NoWorktree, IsMadeAndNoChildStarts) {
  dbt_behaves("");
  BaselineRequest given = request(GetParam().select);
  given.project_dir = work_ / "not-a-repository";
  given.exclude = GetParam().exclude;
  given.state = GetParam().state;
  given.against = "no-such-ref";
  auto baseline = prepare_state_baseline(given);
  ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
  EXPECT_EQ(baseline->state_dir(), GetParam().state);
  EXPECT_FALSE(baseline->owns_worktree());
  EXPECT_THAT(dbt_.calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(StateBaseline, NoWorktree,
                         ::testing::Values(NoWorktreeCase{"GivenStateDirectory", "state:modified+",
                                                          std::nullopt, "some/state dir"},
                                           NoWorktreeCase{"NoStateMethod",
                                                          "tag:State orders+ stat:e",
                                                          "state :modified", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreparedBaseline, CompilesTheMergeBaseInAPrivateWorktree) {
  auto baseline = prepare_state_baseline(request());
  ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
  ASSERT_TRUE(baseline->owns_worktree());
  ASSERT_TRUE(baseline->state_dir().has_value());
  const fs::path state_dir = *baseline->state_dir();
  const fs::path project_dir = state_dir.parent_path();
  const fs::path worktree = project_dir.parent_path();
  const fs::path private_dir = worktree.parent_path();
  EXPECT_EQ(state_dir.filename(), "target");
  EXPECT_EQ(project_dir.filename(), "analytics");
  EXPECT_EQ(private_dir.parent_path(), temp_);
  EXPECT_THAT(private_dir.filename().string(), StartsWith("tarn-dbt-plan-state-"));
  EXPECT_EQ(private_dir.filename().string().size(), std::string("tarn-dbt-plan-state-").size() + 6);
  struct stat info;
  ASSERT_EQ(::stat(private_dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  EXPECT_EQ(testing::read_file(project_dir / "models/orders.sql"), "select 1 -- main\n");
  EXPECT_TRUE(fs::exists(state_dir / "manifest.json"));
  EXPECT_EQ(git_in(worktree, {"rev-parse", "HEAD"}).out, base_commit_);
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cwd, project_dir.string());
  EXPECT_THAT(calls[0].args, ElementsAre("parse"));

  baseline->release();
  EXPECT_FALSE(baseline->owns_worktree());
  EXPECT_FALSE(fs::exists(private_dir));
  baseline->release();  // a second release has nothing left to remove
}

TEST_F(PreparedBaseline, StateMethodInExcludeOrInsideAWordTriggersTheFlow) {
  BaselineRequest in_exclude = request("orders+");
  in_exclude.exclude = "state:modified";
  auto first = prepare_state_baseline(in_exclude);
  ASSERT_TRUE(first.has_value()) << first.error().message();
  EXPECT_TRUE(first->owns_worktree());

  auto second = prepare_state_baseline(request("tag:mystate:x"));
  ASSERT_TRUE(second.has_value()) << second.error().message();
  EXPECT_TRUE(second->owns_worktree());
}

TEST_F(PreparedBaseline, DestroyingTheBaselineRemovesTheWorktreeOnce) {
  fs::path private_dir;
  {
    auto baseline = prepare_state_baseline(request());
    ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
    private_dir = baseline->state_dir()->parent_path().parent_path().parent_path();
    StateBaseline moved = std::move(*baseline);
    EXPECT_FALSE(baseline->owns_worktree());
    baseline->release();
    EXPECT_TRUE(fs::exists(private_dir));
    StateBaseline assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(assigned.owns_worktree());
    EXPECT_TRUE(fs::exists(private_dir));
  }
  EXPECT_FALSE(fs::exists(private_dir));
}

TEST_F(PreparedBaseline, ProjectAtTheRepositoryTopReachedThroughALink) {
  fs::create_directory_symlink(repo_, work_ / "link");
  BaselineRequest linked = request();
  linked.project_dir = work_ / "link" / "analytics" / "models" / "..";
  auto baseline = prepare_state_baseline(linked);
  ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
  EXPECT_EQ(baseline->state_dir()->parent_path().filename(), "analytics");

  linked.project_dir = work_ / "link";
  auto at_top = prepare_state_baseline(linked);
  ASSERT_TRUE(at_top.has_value()) << at_top.error().message();
  EXPECT_EQ(at_top->state_dir()->parent_path().filename(), "worktree");
  EXPECT_EQ(dbt_.calls().back().cwd, at_top->state_dir()->parent_path().string());
}

TEST_F(PreparedBaseline, ExtraWordsFollowTheSubcommand) {
  BaselineRequest wrapped = request();
  wrapped.dbt_command = "'" + dbt_.program().string() + "' --wrapper-flag";
  wrapped.dbt_args = {"--target", "ci"};
  auto baseline = prepare_state_baseline(wrapped);
  ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
  EXPECT_THAT(dbt_.calls().at(0).args, ElementsAre("--wrapper-flag", "parse", "--target", "ci"));
}

TEST_F(PreparedBaseline, NotInsideAGitRepository) {
  const fs::path outside = work_ / "outside";
  fs::create_directories(outside);
  const std::string git_says = git_in(outside, {"rev-parse", "--show-toplevel"}).err;
  BaselineRequest elsewhere = request();
  elsewhere.project_dir = outside;
  auto failed = prepare_state_baseline(elsewhere);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, StateError::Kind::repository);
  EXPECT_THAT(git_says, ::testing::HasSubstr("not a git repository"));
  EXPECT_EQ(failed.error().message(),
            outside.string() + ": not inside a git repository (" + git_says + ")");
}

TEST_F(PreparedBaseline, UnknownComparisonRef) {
  const std::string git_says = git_in(repo_, {"merge-base", "HEAD", "nope"}).err;
  BaselineRequest bad_ref = request();
  bad_ref.against = "nope";
  auto failed = prepare_state_baseline(bad_ref);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, StateError::Kind::merge_base);
  EXPECT_EQ(failed.error().message(),
            "could not find a merge-base between HEAD and nope in " + repo_.string() +
                " -- the histories may be unrelated, or nope may not exist (" + git_says + ")");
}

TEST_F(PreparedBaseline, UnrelatedHistoriesHaveNoSuffixWhenGitSaysNothing) {
  git({"checkout", "-q", "--orphan", "lonely"});
  git({"commit", "-q", "-m", "unrelated"});
  git({"checkout", "-q", "feature"});
  BaselineRequest unrelated = request();
  unrelated.against = "lonely";
  auto failed = prepare_state_baseline(unrelated);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(),
            "could not find a merge-base between HEAD and lonely in " + repo_.string() +
                " -- the histories may be unrelated, or lonely may not exist");
}

TEST_F(PreparedBaseline, GitMissingFromTheSearchPath) {
  ScopedEnv path("PATH", tools_.path().string());
  auto failed = prepare_state_baseline(request());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(),
            "could not run git -- is it installed and on PATH? (No such file or directory)");
}

TEST_F(PreparedBaseline, UnusableTemporaryDirectoryIsAWorktreeError) {
  ScopedEnv missing("TMPDIR", (work_ / "no-such-tmp").string());
  auto failed = prepare_state_baseline(request());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, StateError::Kind::worktree);
  EXPECT_THAT(failed.error().message(), StartsWith("could not create a git worktree for commit " +
                                                   base_commit_ + " in " + repo_.string() + ": "));
  EXPECT_FALSE(failed.error().detail.empty());
}

TEST_F(PreparedBaseline, FailedWorktreeAddLeavesNothingBehind) {
  // A git that refuses only `worktree add` and is real git otherwise.
  std::string real_git = run_process({"sh", "-c", "command -v git"}, {}).value().out;
  real_git.pop_back();  // the line feed
  testing::write_script(tools_ / "bin" / "git",
                        "if [ \"$1\" = worktree ] && [ \"$2\" = add ]; then\n"
                        "  printf 'fatal: no room\\n' >&2; exit 128\nfi\nexec " +
                            real_git + " \"$@\"\n");
  ScopedEnv path("PATH", (tools_ / "bin").string() + ":" + std::getenv("PATH"));
  auto failed = prepare_state_baseline(request());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "could not create a git worktree for commit " + base_commit_ +
                                          " in " + repo_.string() + ": fatal: no room");
  EXPECT_THAT(dbt_.calls(), IsEmpty());
}

struct DepsCase {
  const char* name;
  const char* file;
  bool at_merge_base;  // committed there, or only on the checked-out branch
  std::vector<std::string> first_call;
};

class DepsStep : public StateBaselineTest, public ::testing::WithParamInterface<DepsCase> {
 protected:
  void project_files() override {
    StateBaselineTest::project_files();
    if (GetParam().at_merge_base) {
      commit_file(std::string("analytics/") + GetParam().file, "packages: []\n");
    }
  }
};

TEST_P(DepsStep, RunsBeforeParseOnlyWhenTheMergeBaseDeclaresPackages) {
  if (!GetParam().at_merge_base) {
    commit_file(std::string("analytics/") + GetParam().file, "packages: []\n");
  }
  dbt_behaves("");
  auto baseline = prepare_state_baseline(request());
  ASSERT_TRUE(baseline.has_value()) << baseline.error().message();
  auto calls = dbt_.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].args, GetParam().first_call);
  EXPECT_EQ(calls.back().cwd, calls[0].cwd);
  EXPECT_THAT(calls.back().args, ElementsAre("parse"));
}

INSTANTIATE_TEST_SUITE_P(
    StateBaseline, DepsStep,
    ::testing::Values(DepsCase{"PackagesFile", "packages.yml", true, {"deps"}},
                      DepsCase{"DependenciesFile", "dependencies.yml", true, {"deps"}},
                      DepsCase{
                          "PackagesOnlyInTheCurrentCheckout", "packages.yml", false, {"parse"}}),
    [](const auto& info) { return std::string(info.param.name); });

class PackagedProject : public StateBaselineTest {
 protected:
  void project_files() override {
    StateBaselineTest::project_files();
    commit_file("analytics/packages.yml", "packages: []\n");
  }
};

TEST_F(PackagedProject, FailedDepsRemovesTheWorktree) {
  dbt_behaves("printf 'resolving\\n'; printf 'no hub\\n' >&2; exit 1");
  auto failed = prepare_state_baseline(request());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, StateError::Kind::compile);
  EXPECT_EQ(failed.error().message(),
            "could not compile the state:-comparison baseline: `" + dbt_.program().string() +
                " deps` failed:\nstdout:\nresolving\n\nstderr:\nno hub\n");
  EXPECT_EQ(dbt_.calls().size(), 1u);
}

TEST_F(PreparedBaseline, FailedParseRemovesTheWorktree) {
  dbt_behaves("", "printf 'compilation error' >&2; exit 2");
  auto failed = prepare_state_baseline(request());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "could not compile the state:-comparison baseline: `" +
                                          dbt_.program().string() +
                                          " parse` failed:\nstdout:\n\nstderr:\ncompilation error");
}

TEST_F(PreparedBaseline, DbtCommandProblemsAreCompileErrors) {
  const std::string prefix = "could not compile the state:-comparison baseline: ";
  BaselineRequest broken = request();
  broken.dbt_command = "dbt 'unbalanced";
  EXPECT_EQ(prepare_state_baseline(broken).error().message(),
            prefix + "could not parse --dbt-command: missing closing quote");
  broken.dbt_command = " \t ";
  EXPECT_EQ(prepare_state_baseline(broken).error().message(),
            prefix + "--dbt-command resolved to an empty command");
  broken.dbt_command = "tarn-no-such-dbt";
  EXPECT_EQ(prepare_state_baseline(broken).error().message(),
            prefix + "could not run `tarn-no-such-dbt parse`: No such file or directory");
}

/// Runs prepare_state_baseline in a copy of this process with the interrupt
/// handlers installed, so the recorded interruption stays there. The copy's
/// exit status: 0 when prepare failed after a SIGINT, else why not.
int prepare_in_subprocess(const BaselineRequest& request) {
  pid_t pid = ::fork();
  if (pid == 0) {
    install_interrupt_handlers();
    auto failed = prepare_state_baseline(request);
    ::_exit(failed.has_value() ? 1 : pending_interrupt() != SIGINT ? 2 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(PreparedBaseline, InterruptedParseRemovesTheWorktree) {
  // The stand-in interrupts the program that started it, which passes the
  // signal back on to the stand-in.
  dbt_behaves("", "kill -INT $PPID; exec sleep 5");
  EXPECT_EQ(prepare_in_subprocess(request()), 0);
}

TEST_F(PreparedBaseline, InterruptionOutlivedByTheStepStillStopsAndRemovesTheWorktree) {
  // This parse ignores the interruption passed on to it and succeeds.
  dbt_behaves("", "trap '' INT; kill -INT $PPID");
  EXPECT_EQ(prepare_in_subprocess(request()), 0);
}

}  // namespace
}  // namespace tarn
