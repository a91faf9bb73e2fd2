// parse_date on arbitrary bytes: a rejection carries the text unchanged, and an accepted date
// has a valid month and day and prints in the canonical form, which reads back as itself.

#include <cstdint>
#include <string_view>

#include "date/date.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto date = tarn::parse_date(text);
  if (!date) {
    FUZZ_CHECK(date.error() == text);
    return 0;
  }
  const tarn::CivilDate civil = tarn::civil_from_days(*date);
  FUZZ_CHECK(civil.month >= 1 && civil.month <= 12);
  FUZZ_CHECK(civil.day >= 1 && civil.day <= tarn::days_in_month(civil.year, civil.month));
  // Years whose day number leaves the 64-bit range need only not crash.
  if (civil.year > -1'000'000'000'000 && civil.year < 1'000'000'000'000) {
    auto again = tarn::parse_date(tarn::format_date(*date));
    FUZZ_CHECK(again.has_value() && *again == *date);
    FUZZ_CHECK(tarn::days_from_civil(civil.year, civil.month, civil.day) == *date);
  }
  return 0;
}
