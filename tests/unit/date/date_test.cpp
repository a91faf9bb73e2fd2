#include "date/date.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tarn {
namespace {

constexpr std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();

Date parsed(std::string_view text) {
  const auto date = parse_date(text);
  EXPECT_TRUE(date.has_value()) << text;
  return date.value_or(Date{min64});
}

Date on(std::int64_t year, unsigned month, unsigned day) {
  return days_from_civil(year, month, day);
}

void expect_rejected(std::string_view text) {
  const auto date = parse_date(text);
  ASSERT_FALSE(date.has_value()) << text;
  EXPECT_EQ(date.error(), text);
}

TEST(Units, TextFormsAreExactLowerCaseWords) {
  EXPECT_EQ(unit_name(WindowUnit::day), "day");
  EXPECT_EQ(unit_name(WindowUnit::week), "week");
  EXPECT_EQ(unit_name(WindowUnit::month), "month");
  EXPECT_EQ(unit_name(WindowUnit::year), "year");
  EXPECT_EQ(parse_unit("month"), WindowUnit::month);
  EXPECT_EQ(parse_unit("year"), WindowUnit::year);
  for (const std::string_view text : {"Day", "days", "WEEK", "", " day", "d"}) {
    EXPECT_EQ(parse_unit(text), std::nullopt) << text;
  }
}

TEST(CivilConversion, KnownDayNumbers) {
  EXPECT_EQ(on(1970, 1, 1).days, 0);
  EXPECT_EQ(on(1969, 12, 31).days, -1);
  EXPECT_EQ(on(2000, 3, 1).days, 11017);
  EXPECT_EQ(on(2024, 2, 29).days, 19782);
  EXPECT_EQ(on(0, 1, 1).days, -719528);
  EXPECT_EQ(civil_from_days({-719528}), (CivilDate{0, 1, 1}));
  EXPECT_EQ(civil_from_days({19782}), (CivilDate{2024, 2, 29}));
  EXPECT_EQ(civil_from_days({-1}), (CivilDate{1969, 12, 31}));
}

TEST(CivilConversion, ConsecutiveDaysWalkTheCalendar) {
  // Across several 400-year eras on both sides of the epoch and year zero.
  CivilDate expected = civil_from_days({-1'000'000});
  for (std::int64_t day = -1'000'000; day <= 1'000'000; ++day) {
    const CivilDate civil = civil_from_days({day});
    ASSERT_EQ(civil, expected) << day;
    ASSERT_EQ(days_from_civil(civil.year, civil.month, civil.day).days, day);
    if (civil.day < days_in_month(civil.year, civil.month)) {
      expected = {civil.year, civil.month, civil.day + 1};
    } else if (civil.month < 12) {
      expected = {civil.year, civil.month + 1, 1};
    } else {
      expected = {civil.year + 1, 1, 1};
    }
  }
}

TEST(DaysInMonth, LeapYearRules) {
  EXPECT_EQ(days_in_month(2024, 2), 29u);
  EXPECT_EQ(days_in_month(2000, 2), 29u);
  EXPECT_EQ(days_in_month(1900, 2), 28u);
  EXPECT_EQ(days_in_month(2023, 2), 28u);
  EXPECT_EQ(days_in_month(0, 2), 29u);
  EXPECT_EQ(days_in_month(-4, 2), 29u);
  EXPECT_EQ(days_in_month(-100, 2), 28u);
  EXPECT_EQ(days_in_month(min64, 2), 29u);  // -2^63 is divisible by 4, not by 100
  EXPECT_EQ(days_in_month(max64, 2), 28u);
  EXPECT_EQ(days_in_month(2023, 4), 30u);
  EXPECT_EQ(days_in_month(2023, 12), 31u);
}

TEST(ParseDate, AcceptsRealDatesOnly) {
  EXPECT_EQ(parsed("2024-02-29").days, 19782);
  EXPECT_EQ(parsed("2000-02-29"), on(2000, 2, 29));
  for (const std::string_view text : {"2023-02-29", "1900-02-29", "2024-04-31", "2024-00-10",
                                      "2024-13-01", "2024-01-00", "2024-01-32"}) {
    expect_rejected(text);
  }
}

TEST(ParseDate, WidthsAreFreeAndPlusSignsAllowed) {
  const Date expected = on(2024, 1, 5);
  EXPECT_EQ(parsed("2024-1-5"), expected);
  EXPECT_EQ(parsed("+2024-01-05"), expected);
  EXPECT_EQ(parsed("2024-+1-+5"), expected);
  EXPECT_EQ(parsed("02024-001-0005"), expected);
  EXPECT_EQ(parsed("0-1-1").days, -719528);
}

TEST(ParseDate, RejectsOtherShapes) {
  for (const std::string_view text :
       {"", "2024-01", "2024-01-05-01", "2024/01/05", "2024-01-5x", " 2024-01-05", "2024-01-05 ",
        "2024 -01-05", "-2024-01-05", "++2024-01-05", "+-01-05", "2024--05", "2024-01-",
        "2024-0x1-05", "2024-\xEF\xBC\x91-05", "--", "-"}) {
    expect_rejected(text);
  }
}

TEST(ParseDate, OverflowIsARejection) {
  expect_rejected("2024-4294967297-01");  // wraps to 1 in 32 bits
  expect_rejected("2024-01-4294967296");
  expect_rejected("9223372036854775808-01-01");
  // A year that fits 64 bits but whose day number does not.
  expect_rejected("9223372036854775807-12-31");
  expect_rejected("25252734927768524-07-28");
  EXPECT_EQ(parsed("25252734927768524-07-27").days, max64);
}

TEST(FormatDate, PadsYearToFourWithTheSignCounted) {
  EXPECT_EQ(format_date({0}), "1970-01-01");
  EXPECT_EQ(format_date({-719528}), "0000-01-01");
  EXPECT_EQ(format_date(on(12, 3, 4)), "0012-03-04");
  EXPECT_EQ(format_date(on(-1, 1, 1)), "-001-01-01");
  EXPECT_EQ(format_date(on(-1234, 12, 31)), "-1234-12-31");
  EXPECT_EQ(format_date(on(12345, 1, 1)), "12345-01-01");
  EXPECT_EQ(format_date({max64}), "25252734927768524-07-27");
  EXPECT_EQ(format_date({min64}), "-25252734927764585-06-07");
}

TEST(AddMonths, ClampsToTheEndOfShorterMonths) {
  EXPECT_EQ(add_months(parsed("2024-01-31"), 1), parsed("2024-02-29"));
  EXPECT_EQ(add_months(parsed("2023-01-31"), 1), parsed("2023-02-28"));
  EXPECT_EQ(add_months(parsed("2024-03-31"), -1), parsed("2024-02-29"));
  EXPECT_EQ(add_months(parsed("2024-01-31"), -2), parsed("2023-11-30"));
  // Clamping is not undone by moving back.
  EXPECT_EQ(add_months(add_months(parsed("2024-01-31"), 1), -1), parsed("2024-01-29"));
}

TEST(AddMonths, StepsAcrossYearBoundariesBothWays) {
  EXPECT_EQ(add_months(parsed("2024-12-15"), 1), parsed("2025-01-15"));
  EXPECT_EQ(add_months(parsed("2024-01-15"), -1), parsed("2023-12-15"));
  EXPECT_EQ(add_months(parsed("2024-01-15"), -13), parsed("2022-12-15"));
  EXPECT_EQ(add_months(parsed("0000-02-29"), -1), on(0, 1, 29));
  EXPECT_EQ(add_months(parsed("0000-01-15"), -1), on(-1, 12, 15));
  EXPECT_EQ(add_months(parsed("0000-01-31"), -11), on(-1, 2, 28));
  EXPECT_EQ(add_months(parsed("2024-05-10"), 0), parsed("2024-05-10"));
}

TEST(Shift, UnitsMoveByDaysWeeksOrCalendarMonths) {
  const Date leap_day = parsed("2024-02-29");
  EXPECT_EQ(shift_forward(leap_day, 1, WindowUnit::year), parsed("2025-02-28"));
  EXPECT_EQ(shift_back(leap_day, 4, WindowUnit::year), parsed("2020-02-29"));
  EXPECT_EQ(shift_forward(leap_day, 3, WindowUnit::day).days, leap_day.days + 3);
  EXPECT_EQ(shift_back(leap_day, 2, WindowUnit::week).days, leap_day.days - 14);
  EXPECT_EQ(shift_forward(leap_day, 1, WindowUnit::month), parsed("2024-03-29"));
  EXPECT_EQ(shift_back(parsed("2024-03-31"), 1, WindowUnit::month), parsed("2024-02-29"));
  // A month is a calendar move: 29, 30 or 31 days depending on where it starts.
  EXPECT_EQ(
      shift_forward(parsed("2023-02-01"), 1, WindowUnit::month).days - parsed("2023-02-01").days,
      28);
  // Negative amounts move the other way.
  EXPECT_EQ(shift_forward(leap_day, -1, WindowUnit::week),
            shift_back(leap_day, 1, WindowUnit::week));
  EXPECT_EQ(shift_back(leap_day, -1, WindowUnit::year), parsed("2025-02-28"));
}

TEST(Shift, ExtremeAmountsSaturateAtTheDayLimits) {
  const Date today = parsed("2024-06-15");
  EXPECT_EQ(shift_forward(today, max64, WindowUnit::day).days, max64);
  EXPECT_EQ(shift_forward(today, min64, WindowUnit::day).days, min64 + today.days);
  EXPECT_EQ(shift_back(today, max64, WindowUnit::day).days, today.days - max64);
  EXPECT_EQ(shift_back(today, min64, WindowUnit::day).days, max64);
  for (const WindowUnit unit :
       {WindowUnit::day, WindowUnit::week, WindowUnit::month, WindowUnit::year}) {
    SCOPED_TRACE(std::string(unit_name(unit)));
    if (unit != WindowUnit::day) {
      EXPECT_EQ(shift_forward(today, max64, unit).days, max64);
      EXPECT_EQ(shift_forward(today, min64, unit).days, min64);
      EXPECT_EQ(shift_back(today, max64, unit).days, min64);
      EXPECT_EQ(shift_back(today, min64, unit).days, max64);
    }
    for (const std::int64_t amount : {min64, min64 + 1, std::int64_t{-1}, std::int64_t{1}, max64}) {
      for (const std::int64_t day : {min64, min64 + 1, max64 - 1, max64}) {
        const Date forward = shift_forward({day}, amount, unit);
        const Date back = shift_back({day}, amount, unit);
        EXPECT_EQ(amount > 0 ? forward >= Date{day} : forward <= Date{day}, true);
        EXPECT_EQ(amount > 0 ? back <= Date{day} : back >= Date{day}, true);
      }
    }
    EXPECT_EQ(shift_forward({max64}, 1, unit).days, max64);
    EXPECT_EQ(shift_back({min64}, 1, unit).days, min64);
  }
}

TEST(Shift, MovesNearTheLimitsStayExactWhileInRange) {
  EXPECT_EQ(shift_forward({max64}, -1, WindowUnit::day).days, max64 - 1);
  EXPECT_EQ(shift_back({min64}, -1, WindowUnit::week).days, min64 + 7);
  EXPECT_EQ(format_date(add_months({max64}, -1)), "25252734927768524-06-27");
  EXPECT_EQ(format_date(add_months({min64}, 1)), "-25252734927764585-07-07");
  EXPECT_EQ(add_months({max64}, max64).days, max64);
  EXPECT_EQ(add_months({min64}, min64).days, min64);
  EXPECT_EQ(add_months({min64}, max64).days, max64);
}

TEST(DaysFromCivil, YearsBeyondTheDayRangeSaturate) {
  EXPECT_EQ(days_from_civil(max64, 12, 31).days, max64);
  EXPECT_EQ(days_from_civil(min64, 1, 1).days, min64);
  EXPECT_EQ(civil_from_days({max64}), (CivilDate{25252734927768524, 7, 27}));
  EXPECT_EQ(civil_from_days({min64}), (CivilDate{-25252734927764585, 6, 7}));
}

TEST(Yesterday, IsTheDayBeforeTheUtcDay) {
  // 2026-12-05T00:00:30Z
  EXPECT_EQ(yesterday_at(1796428830).days, 20791);
  EXPECT_EQ(format_date(yesterday_at(1796428830)), "2026-12-04");
  EXPECT_EQ(yesterday_at(0).days, -1);
  EXPECT_EQ(yesterday_at(86399).days, -1);
  EXPECT_EQ(yesterday_at(86400).days, 0);
  EXPECT_EQ(yesterday_at(-1).days, -1);
  EXPECT_EQ(yesterday_at(min64).days, -1);
  EXPECT_EQ(yesterday_at(max64).days, max64 / 86400 - 1);
}

TEST(Timestamps, UtcInBothForms) {
  EXPECT_EQ(format_utc_timestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_utc_timestamp(1796428830), "2026-12-05T00:00:30Z");
  EXPECT_EQ(format_utc_timestamp(1796479387), "2026-12-05T14:03:07Z");
  EXPECT_EQ(compact_utc_timestamp(1796479387), "20261205140307");
  EXPECT_EQ(compact_utc_timestamp(0), "19700101000000");
  EXPECT_EQ(format_utc_timestamp(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(format_utc_timestamp(max64), format_date({106751991167300}) + "T15:30:07Z");
  EXPECT_EQ(format_utc_timestamp(min64), format_date({-106751991167301}) + "T08:29:52Z");
}

}  // namespace
}  // namespace tarn
