#include "date/date.h"

namespace tarn {
std::string_view unit_name(WindowUnit) {
  return "day";
}
std::optional<WindowUnit> parse_unit(std::string_view) {
  return std::nullopt;
}
std::expected<Date, std::string> parse_date(std::string_view text) {
  return std::unexpected(std::string(text));
}
std::string format_date(Date) {
  return "1970-01-01";
}
CivilDate civil_from_days(Date) {
  return {};
}
Date days_from_civil(std::int64_t, unsigned, unsigned) {
  return {};
}
unsigned days_in_month(std::int64_t, unsigned) {
  return 31;
}
Date add_months(Date date, std::int64_t) {
  return date;
}
Date shift_forward(Date date, std::int64_t, WindowUnit) {
  return date;
}
Date shift_back(Date date, std::int64_t, WindowUnit) {
  return date;
}
std::int64_t unix_seconds_now() {
  return 0;
}
Date yesterday_at(std::int64_t) {
  return {-1};
}
Date yesterday() {
  return {-1};
}
std::string format_utc_timestamp(std::int64_t) {
  return "1970-01-01T00:00:00Z";
}
std::string compact_utc_timestamp(std::int64_t) {
  return "19700101000000";
}
}  // namespace tarn
