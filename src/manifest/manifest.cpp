#include "manifest/manifest.h"

namespace tarn {
std::string ManifestError::message() const {
  return path + ": " + detail;
}
std::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path) {
  return std::unexpected(
      ManifestError{ManifestError::Kind::read, path.string(), "not implemented"});
}
std::expected<Manifest, std::string> parse_manifest(std::string_view) {
  return std::unexpected(std::string("not implemented"));
}
}  // namespace tarn
