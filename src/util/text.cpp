#include "util/text.h"

namespace tarn {
std::string decode_lossy(std::string_view bytes) {
  return std::string(bytes);
}
std::string_view trim_whitespace(std::string_view text) {
  return text;
}
std::string display_path(const std::filesystem::path& path) {
  return decode_lossy(path.native());
}
std::string quoted_value(std::string_view value) {
  return "\"" + std::string(value) + "\"";
}
}  // namespace tarn
