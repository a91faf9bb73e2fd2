#include "state/state.h"

namespace tarn {
StateBaseline::StateBaseline(std::optional<std::filesystem::path> state_dir)
    : state_dir_(std::move(state_dir)) {}
StateBaseline::StateBaseline(std::filesystem::path state_dir, std::filesystem::path repository,
                             std::filesystem::path private_dir, std::filesystem::path worktree)
    : state_dir_(std::move(state_dir)),
      worktree_(Worktree{std::move(repository), std::move(private_dir), std::move(worktree)}) {}
StateBaseline::StateBaseline(StateBaseline&& other) noexcept = default;
StateBaseline& StateBaseline::operator=(StateBaseline&& other) noexcept = default;
StateBaseline::~StateBaseline() {
  release();
}
void StateBaseline::release() {
  worktree_.reset();
}
std::string StateError::message() const {
  return detail;
}
std::expected<StateBaseline, StateError> prepare_state_baseline(const BaselineRequest& request) {
  return StateBaseline(request.state);
}
}  // namespace tarn
