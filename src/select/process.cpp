#include "select/process.h"

namespace tarn {
std::expected<ProcessResult, std::string> run_process(const std::vector<std::string>&,
                                                      const std::filesystem::path&) {
  return std::unexpected(std::string("not implemented"));
}
}  // namespace tarn
