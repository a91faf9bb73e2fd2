#include "plan/plan.h"

namespace tarn {
std::optional<std::string> Plan::default_yesterday_note() const {
  return std::nullopt;
}
std::string PlanError::message() const {
  return "not implemented";
}
std::expected<std::vector<std::string>, PlanError> topological_order(const ParentsMap&) {
  return std::unexpected(PlanError{});
}
std::expected<Plan, PlanError> generate(const Manifest&, const Selection&, std::optional<Window>,
                                        std::int64_t, const std::optional<std::string>&) {
  return std::unexpected(PlanError{});
}
}  // namespace tarn
