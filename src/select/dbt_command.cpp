#include "select/dbt_command.h"

namespace tarn {
std::expected<std::vector<std::string>, DbtCommandError> dbt_argv(std::string_view,
                                                                  const std::vector<std::string>&,
                                                                  const std::vector<std::string>&) {
  return std::unexpected(DbtCommandError{});
}
}  // namespace tarn
