// The manifest reader on arbitrary bytes: it returns a graph or one message,
// and a graph it returns is consistent with the keys it was read from.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = tarn::parse_manifest(text);
  if (!manifest) {
    FUZZ_CHECK(!manifest.error().empty());
    return 0;
  }
  for (const auto& [id, node] : manifest->nodes) {
    FUZZ_CHECK(node.id == id);
    if (node.is_source) {
      FUZZ_CHECK(node.depends_on.empty());
      FUZZ_CHECK(!node.event_time && !node.meta);
    }
  }
  return 0;
}
