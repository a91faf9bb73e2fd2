#include "select/select.h"

namespace tarn {
std::string SelectError::message() const {
  return detail;
}
std::expected<Selection, SelectError> select_models(const SelectRequest&, const Manifest&) {
  return std::unexpected(SelectError{});
}
std::expected<Selection, SelectError> selection_from_output(std::string_view, const Manifest&,
                                                            const std::string&) {
  return std::unexpected(SelectError{});
}
}  // namespace tarn
