// parse_date on arbitrary bytes: a rejection carries the text unchanged, and an accepted date
// has a valid month and day and prints in the canonical form, which reads back as itself.
#include "date/date.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto date = tarn::parse_date(text);
  if (!date) {
    FUZZ_CHECK(date.error() == text);
    return 0;
  }
  const auto [year, month, day] = tarn::civil_from_days(*date);
  FUZZ_CHECK(month >= 1 && month <= 12 && day >= 1 && day <= tarn::days_in_month(year, month));
  // Years whose day number leaves the 64-bit range need only not crash.
  if (year > -1'000'000'000'000 && year < 1'000'000'000'000) {
    FUZZ_CHECK(tarn::parse_date(tarn::format_date(*date)) == *date);
    FUZZ_CHECK(tarn::days_from_civil(year, month, day) == *date);
  }
  return 0;
}
