// The tarn.yml reader on arbitrary bytes: a record or one message, never a
// crash, a hang or unbounded memory (aliases, deep nesting).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = tarn::parse_tarn_yml(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().empty());
  }
  return 0;
}
