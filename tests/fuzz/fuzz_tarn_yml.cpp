// The tarn.yml reader on arbitrary bytes: a record or one message, never a crash, a hang or
// unbounded memory (aliases, deep nesting).
#include "config/config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = tarn::parse_tarn_yml(std::string_view(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(parsed || !parsed.error().empty());
  return 0;
}
