#include "state/state.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>

#include <fmt/format.h>

#include "process/dbt_command.h"
#include "process/process.h"
#include "util/interrupt.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

std::string trimmed(const std::string& bytes) {
  return std::string(trim_whitespace(decode_lossy(bytes)));
}

std::string compile_error(const std::string& detail) {
  return "could not compile the state:-comparison baseline: " + detail;
}

std::optional<std::string> interrupted() {
  if (auto signal = pending_interrupt()) {
    return compile_error(fmt::format("interrupted by signal {}", *signal));
  }
  return std::nullopt;
}

bool mentions_state_method(const BaselineRequest& request) {
  constexpr std::string_view marker = "state:";
  return request.select.find(marker) != std::string::npos ||
         (request.exclude && request.exclude->find(marker) != std::string::npos);
}

fs::path canonical_or_unchanged(const fs::path& path) {
  std::error_code ec;
  fs::path canonical = fs::canonical(path, ec);
  return ec ? path : canonical;
}

/// The project directory relative to the repository top level, compared
/// component by component on canonical paths; empty when it is the top level
/// itself or lies outside it.
fs::path project_within_repository(const fs::path& repository, const fs::path& project_dir) {
  const fs::path top = canonical_or_unchanged(repository);
  const fs::path project = canonical_or_unchanged(project_dir);
  auto [top_end, project_at] =
      std::mismatch(top.begin(), top.end(), project.begin(), project.end());
  if (top_end != top.end()) {
    return {};
  }
  fs::path relative;
  for (; project_at != project.end(); ++project_at) {
    if (!project_at->empty()) {
      relative /= *project_at;
    }
  }
  return relative;
}

/// A directory only this user can enter, created exclusively, so that no one
/// else can plant anything where git will create the worktree.
std::expected<fs::path, std::string> make_private_directory() {
  std::error_code ec;
  const fs::path temp_dir = fs::temp_directory_path(ec);
  if (ec) {
    return std::unexpected(ec.message());
  }
  std::string name = (temp_dir / "tarn-dbt-plan-state-XXXXXX").native();
  if (::mkdtemp(name.data()) == nullptr) {
    return std::unexpected(system_error_text(errno));
  }
  return fs::path(name);
}

void remove_worktree(const fs::path& repository, const fs::path& private_dir,
                     const fs::path& worktree) {
  // Ignored on failure: nothing may stop the run from ending, and the
  // private directory goes below either way.
  (void)run_process(
      {"git", "-C", repository.native(), "worktree", "remove", "--force", worktree.native()}, {});
  std::error_code ec;
  fs::remove_all(private_dir, ec);
}

/// One dbt step in the worktree's project.
std::optional<std::string> run_dbt_step(const BaselineRequest& request, const char* subcommand,
                                        const fs::path& project_dir) {
  auto argv = dbt_argv(request.dbt_command, {subcommand}, request.dbt_args,
                       "could not parse --dbt-command: ");
  if (!argv) {
    return compile_error(argv.error());
  }
  auto ran = run_dbt(*argv, project_dir, request.dbt_command + " " + subcommand, "");
  return ran ? std::nullopt : std::optional(compile_error(ran.error()));
}

bool has_package_file(const fs::path& project_dir) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(project_dir / "packages.yml", ec)) ||
         fs::exists(fs::symlink_status(project_dir / "dependencies.yml", ec));
}

/// Packages first when the project declares any, then the manifest.
std::optional<std::string> compile_baseline(const BaselineRequest& request,
                                            const fs::path& project_dir) {
  if (has_package_file(project_dir)) {
    if (auto failed = run_dbt_step(request, "deps", project_dir)) {
      return failed;
    }
  }
  return run_dbt_step(request, "parse", project_dir);
}

struct GitOutput {
  bool success = false;
  std::string out;  // trimmed
  std::string err;  // trimmed
};

std::expected<GitOutput, std::string> run_git(std::vector<std::string> argv,
                                              const fs::path& working_dir) {
  argv.insert(argv.begin(), "git");
  auto result = run_process(argv, working_dir);
  if (!result) {
    return std::unexpected(
        fmt::format("could not run git -- is it installed and on PATH? ({})", result.error()));
  }
  if (auto stop = interrupted()) {
    return std::unexpected(*stop);
  }
  return GitOutput{result->success(), trimmed(result->out), trimmed(result->err)};
}

/// git's trimmed output, or the message `failure` makes of its trimmed standard error.
std::expected<std::string, std::string> git_output(
    std::vector<std::string> argv, const fs::path& working_dir,
    const std::function<std::string(const std::string&)>& failure) {
  auto git = run_git(std::move(argv), working_dir);
  if (!git) {
    return std::unexpected(git.error());
  }
  if (!git->success) {
    return std::unexpected(failure(git->err));
  }
  return git->out;
}

std::expected<StateBaseline, std::string> build_baseline(const BaselineRequest& request) {
  auto top_level = git_output({"rev-parse", "--show-toplevel"}, request.project_dir,
                              [&](const std::string& err) {
                                return fmt::format("{}: not inside a git repository ({})",
                                                   display_path(request.project_dir), err);
                              });
  if (!top_level) {
    return std::unexpected(top_level.error());
  }
  const fs::path repository(*top_level);
  const fs::path relative = project_within_repository(repository, request.project_dir);
  auto commit =
      git_output({"merge-base", "HEAD", request.against}, repository, [&](const std::string& err) {
        return fmt::format(
            "could not find a merge-base between HEAD and {0} in {1} -- the histories may be "
            "unrelated, or {0} may not exist{2}",
            request.against, display_path(repository), err.empty() ? "" : " (" + err + ")");
      });
  if (!commit) {
    return std::unexpected(commit.error());
  }
  auto worktree_error = [&](const std::string& detail) {
    return fmt::format("could not create a git worktree for commit {} in {}: {}", *commit,
                       display_path(repository), detail);
  };
  auto private_dir = make_private_directory();
  if (!private_dir) {
    return std::unexpected(worktree_error(private_dir.error()));
  }
  const fs::path worktree = *private_dir / "worktree";
  auto added = run_git({"worktree", "add", "--detach", worktree.native(), *commit}, repository);
  if (!added) {
    // An interrupted git may have registered the worktree half-way.
    remove_worktree(repository, *private_dir, worktree);
    return std::unexpected(added.error());
  }
  if (!added->success) {
    std::error_code ec;
    fs::remove_all(*private_dir, ec);
    return std::unexpected(worktree_error(added->err));
  }
  const fs::path project_dir = relative.empty() ? worktree : worktree / relative;
  StateBaseline baseline(project_dir / "target", repository, *private_dir, worktree);
  if (auto failed = compile_baseline(request, project_dir)) {
    return std::unexpected(*failed);  // `baseline` removes the worktree on the way out
  }
  return baseline;
}

}  // namespace

StateBaseline::StateBaseline(std::filesystem::path state_dir, std::filesystem::path repository,
                             std::filesystem::path private_dir, std::filesystem::path worktree)
    : state_dir_(std::move(state_dir)),
      worktree_(new Worktree{std::move(repository), std::move(private_dir), std::move(worktree)}) {}

StateBaseline::Worktree::~Worktree() {
  remove_worktree(repository, private_dir, path);
}

std::expected<StateBaseline, std::string> prepare_state_baseline(const BaselineRequest& request) {
  if (request.state) {
    return StateBaseline(request.state);
  }
  if (!mentions_state_method(request)) {
    return StateBaseline();
  }
  return build_baseline(request);
}

}  // namespace tarn
