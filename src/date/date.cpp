#include "date/date.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <limits>

// Results beyond the 64-bit day range saturate at its nearest limit; the work
// is done in 128 bits, which hold every intermediate value. parse_date rejects
// such a day instead, because a saturated day would print as another date.

namespace tarn {
namespace {

__extension__ typedef __int128 Wide;

constexpr std::int64_t min_day = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t max_day = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t seconds_per_day = 86400;

Date saturate(Wide days) {
  return {static_cast<std::int64_t>(std::clamp<Wide>(days, min_day, max_day))};
}

Wide floor_div(Wide a, Wide b) {
  const Wide quotient = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

Wide floor_mod(Wide a, Wide b) {
  return a - floor_div(a, b) * b;
}

/// The era-based conversion, March-first year, in 128 bits: for any 64-bit
/// year the result fits, even where it exceeds the 64-bit day range.
Wide wide_days_from_civil(Wide year, unsigned month, unsigned day) {
  const Wide y = month <= 2 ? year - 1 : year;
  const Wide era = floor_div(y, 400);
  const Wide yoe = y - era * 400;
  const Wide mp = month > 2 ? month - 3 : month + 9;
  const Wide doy = (153 * mp + 2) / 5 + day - 1;
  const Wide doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date wide_add_months(Date date, Wide months) {
  const CivilDate civil = civil_from_days(date);
  const Wide total = Wide{civil.year} * 12 + (civil.month - 1) + months;
  // A 64-bit year count of months can carry the year past the 64-bit range,
  // so the year stays wide; leap years repeat every 400 years, which keeps
  // days_in_month's 64-bit year argument exact.
  const Wide year = floor_div(total, 12);
  const auto month = static_cast<unsigned>(floor_mod(total, 12)) + 1;
  const auto year_in_cycle = static_cast<std::int64_t>(floor_mod(year, 400));
  const unsigned day = std::min(civil.day, days_in_month(year_in_cycle, month));
  return saturate(wide_days_from_civil(year, month, day));
}

Date shift(Date date, Wide amount, WindowUnit unit) {
  if (unit == WindowUnit::month || unit == WindowUnit::year) {
    return wide_add_months(date, unit == WindowUnit::year ? amount * 12 : amount);
  }
  return saturate(Wide{date.days} + (unit == WindowUnit::week ? amount * 7 : amount));
}

/// An optional '+' then one or more ASCII digits, nothing else; nullopt when
/// the text has another shape or the value lies outside `min`..=`max`.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t min,
                                          std::uint64_t max) {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

constexpr std::array<std::string_view, 4> k_unit_names = {"day", "week", "month", "year"};

}  // namespace

std::string_view unit_name(WindowUnit unit) {
  return k_unit_names.at(static_cast<std::size_t>(unit));
}

std::optional<WindowUnit> parse_unit(std::string_view text) {
  const auto found = std::ranges::find(k_unit_names, text);
  return found == k_unit_names.end()
             ? std::nullopt
             : std::optional(static_cast<WindowUnit>(found - k_unit_names.begin()));
}

std::expected<Date, std::string> parse_date(std::string_view text) {
  const auto reject = [&] { return std::unexpected(std::string(text)); };
  const std::size_t first = text.find('-');
  const std::size_t second = first == std::string_view::npos ? first : text.find('-', first + 1);
  if (second == std::string_view::npos) {
    return reject();
  }
  // The ranges make the narrowing conversions below exact.
  const auto year = parse_number(text.substr(0, first), 0, max_day);
  const auto month = parse_number(text.substr(first + 1, second - first - 1), 1, 12);
  const auto day = parse_number(text.substr(second + 1), 1, 31);
  if (!year || !month || !day || *day > days_in_month(*year, *month)) {
    return reject();
  }
  const Wide days = wide_days_from_civil(*year, *month, *day);
  if (days > max_day) {
    return reject();
  }
  return Date{static_cast<std::int64_t>(days)};
}

std::string format_date(Date date) {
  const CivilDate civil = civil_from_days(date);
  return fmt::format("{:04}-{:02}-{:02}", civil.year, civil.month, civil.day);
}

CivilDate civil_from_days(Date date) {
  const Wide z = Wide{date.days} + 719468;
  const Wide era = floor_div(z, 146097);
  const Wide doe = z - era * 146097;
  const Wide yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const Wide doy = doe - (yoe * 365 + yoe / 4 - yoe / 100);
  const Wide mp = (doy * 5 + 2) / 153;
  const auto day = static_cast<unsigned>(doy - (mp * 153 + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const Wide year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return {static_cast<std::int64_t>(year), month, day};
}

Date days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  return saturate(wide_days_from_civil(year, month, day));
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  constexpr std::array<unsigned, 12> lengths = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return lengths.at(month - 1) + (month == 2 && leap ? 1 : 0);  // every month passed in is 1..=12
}

Date shift_forward(Date date, std::int64_t amount, WindowUnit unit) {
  return shift(date, amount, unit);
}

Date shift_back(Date date, std::int64_t amount, WindowUnit unit) {
  return shift(date, -Wide{amount}, unit);
}

std::int64_t unix_seconds_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<std::int64_t>(seconds);
}

Date yesterday_at(std::int64_t unix_seconds) {
  return {unix_seconds < 0 ? -1 : unix_seconds / seconds_per_day - 1};
}

Date yesterday() {
  return yesterday_at(unix_seconds_now());
}

std::string format_utc_timestamp(std::int64_t unix_seconds) {
  const auto second = static_cast<std::int64_t>(floor_mod(unix_seconds, seconds_per_day));
  return fmt::format(
      "{}T{:02}:{:02}:{:02}Z",
      format_date({static_cast<std::int64_t>(floor_div(unix_seconds, seconds_per_day))}),
      second / 3600, second % 3600 / 60, second % 60);
}

std::string compact_utc_timestamp(std::int64_t unix_seconds) {
  std::string text = format_utc_timestamp(unix_seconds);
  std::erase_if(text, [](char c) { return c == '-' || c == ':' || c == 'T' || c == 'Z'; });
  return text;
}

}  // namespace tarn
