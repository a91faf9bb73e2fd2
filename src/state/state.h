#pragma once
// The comparison state for dbt's state: selectors: a --state directory given
// by the user, or a baseline compiled in a temporary git worktree at the
// merge-base of HEAD and the comparison ref.

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

/// Owns the temporary worktree, if any: releasing (or destroying) the
/// baseline removes it, exactly once.
class StateBaseline {
 public:
  StateBaseline() = default;
  explicit StateBaseline(std::optional<std::filesystem::path> state_dir)
      : state_dir_(std::move(state_dir)) {}
  StateBaseline(std::filesystem::path state_dir, std::filesystem::path repository,
                std::filesystem::path private_dir, std::filesystem::path worktree);

  const std::optional<std::filesystem::path>& state_dir() const { return state_dir_; }
  void release() { worktree_.reset(); }

 private:
  struct Worktree {
    ~Worktree();  // removes it
    std::filesystem::path repository;
    std::filesystem::path private_dir;  // the 0700 directory holding the worktree
    std::filesystem::path path;
  };
  std::optional<std::filesystem::path> state_dir_;
  std::unique_ptr<Worktree> worktree_;
};

struct BaselineRequest {
  std::filesystem::path project_dir;
  std::string select;
  std::optional<std::string> exclude;
  std::optional<std::filesystem::path> state;
  std::string against;
  std::string dbt_command;
  std::vector<std::string> dbt_args;
};

/// The error says that git could not start or failed, or that the baseline did not compile.
std::expected<StateBaseline, std::string> prepare_state_baseline(const BaselineRequest& request);

}  // namespace tarn
