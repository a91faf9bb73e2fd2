#include "date/date.h"

#include <gtest/gtest.h>

#include <limits>

namespace tarn {
namespace {

constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();

TEST(ParseDate, TakesRealDatesWithFreeWidthsAndPrintsThemPadded) {
  const std::tuple<const char*, std::int64_t, const char*> accepted[] = {
      {"2000-02-29", 11016, "2000-02-29"},
      {"+2024-1-5", 19727, "2024-01-05"},
      {"25252734927768524-07-27", hi, "25252734927768524-07-27"}};
  for (const auto& [text, days, printed] : accepted) {
    EXPECT_EQ(parse_date(text), Date{days}) << text;
    EXPECT_EQ(format_date({days}), printed);
  }
  EXPECT_EQ(format_date({lo}), "-25252734927764585-06-07");
  for (const std::string text :
       {"2023-02-29", "1900-02-29", "2024-04-31", "2024-00-10", "2024-13-01", "2024-01-00", "",
        "2024-01", "2024-01-05-01", " 2024-01-05", "-2024-01-05", "++2024-01-05", "2024--05",
        "2024-4294967297-01", "9223372036854775808-01-01", "25252734927768524-07-28"}) {
    EXPECT_EQ(parse_date(text), std::unexpected(text));
  }
}

TEST(ShiftForward, MovesByDaysWeeksOrCalendarMonthsClampedAndSaturated) {
  const auto on = [](const char* text) { return parse_date(text).value(); };
  const std::tuple<Date, std::int64_t, WindowUnit, Date> shifts[] = {
      {on("2024-01-31"), 1, WindowUnit::month, on("2024-02-29")},
      {on("0-01-31"), -11, WindowUnit::month, {-719893 + 58}},
      {on("2024-02-29"), 1, WindowUnit::year, on("2025-02-28")},
      {on("2024-02-29"), -4, WindowUnit::year, on("2020-02-29")},
      {on("2024-02-29"), -2, WindowUnit::week, on("2024-02-15")},
      {on("2024-02-29"), hi, WindowUnit::year, {hi}},
      {on("2024-02-29"), lo, WindowUnit::week, {lo}},
      {{hi}, 1, WindowUnit::day, {hi}},
      {{hi}, -1, WindowUnit::month, on("25252734927768524-06-27")}};
  for (const auto& [from, amount, unit, to] : shifts) {
    EXPECT_EQ(format_date(shift_forward(from, amount, unit)), format_date(to))
        << format_date(from) << " " << amount << " " << unit_name(unit);
    EXPECT_EQ(shift_back(from, amount == lo ? hi : -amount, unit), to);
  }
  EXPECT_EQ(shift_back({0}, lo, WindowUnit::day).days, hi);
}

TEST(Clock, YesterdayAndTimestampsAreUtc) {
  EXPECT_EQ(yesterday_at(86400).days, 0);
  EXPECT_EQ(yesterday_at(-1).days, -1);
  EXPECT_EQ(format_utc_timestamp(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(compact_utc_timestamp(1796479387), "20261205140307");
}

}  // namespace
}  // namespace tarn
