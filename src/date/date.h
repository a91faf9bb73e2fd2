#pragma once
// Calendar days and window units: pure integer arithmetic on a day count,
// proleptic Gregorian, no time of day and no time zone.

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

/// Days since 1970-01-01 (which is day 0).
struct Date {
  std::int64_t days = 0;
  friend auto operator<=>(const Date&, const Date&) = default;
};

enum class WindowUnit { day, week, month, year };

std::string_view unit_name(WindowUnit unit);
std::optional<WindowUnit> parse_unit(std::string_view text);

struct CivilDate {
  std::int64_t year = 1970;
  unsigned month = 1;
  unsigned day = 1;
};

/// Parses "YYYY-MM-DD" (widths free, an optional '+' per piece); a rejection
/// carries the text unchanged.
std::expected<Date, std::string> parse_date(std::string_view text);

/// "YYYY-MM-DD", the year zero-padded to at least four characters.
std::string format_date(Date date);

CivilDate civil_from_days(Date date);
Date days_from_civil(std::int64_t year, unsigned month, unsigned day);
unsigned days_in_month(std::int64_t year, unsigned month);

Date shift_forward(Date date, std::int64_t amount, WindowUnit unit);
Date shift_back(Date date, std::int64_t amount, WindowUnit unit);

/// Whole seconds since the Unix epoch from the wall clock; 0 before the epoch.
std::int64_t unix_seconds_now();

/// The day before the UTC day that holds the given instant (-1 before 1970).
Date yesterday_at(std::int64_t unix_seconds);
Date yesterday();

/// "YYYY-MM-DDTHH:MM:SSZ" for the given instant.
std::string format_utc_timestamp(std::int64_t unix_seconds);

/// "YYYYMMDDHHMMSS" for the given instant.
std::string compact_utc_timestamp(std::int64_t unix_seconds);

}  // namespace tarn
