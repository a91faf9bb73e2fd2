#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "date/date.h"
#include "output/plan_json.h"

namespace tarn {
namespace {

Date day(std::int64_t year, unsigned month, unsigned day_of_month) {
  return days_from_civil(year, month, day_of_month);
}

// 2026-12-05T14:03:07Z
constexpr std::int64_t example_instant = 1796479387;

PlannedModel entry_model(std::string name, Window window) {
  PlannedModel model;
  model.name = std::move(name);
  model.event_time_start = window.start;
  model.event_time_end = window.end;
  return model;
}

PlanRunInfo example_info() {
  PlanRunInfo info;
  info.anchor_selection = "stg_events+";
  info.manifest_path = "./target/manifest.json";
  info.manifest_generated_at = "2026-12-05T13:59:41.123456Z";
  info.dbt_command = "dbt";
  info.max_window_expansion_days = 90;
  return info;
}

TEST(PlanJson, WritesTheExampleLayoutByteForByte) {
  Plan plan;
  plan.anchor_window = {day(2026, 11, 1), day(2026, 11, 30)};
  plan.models.push_back(entry_model("stg_events", plan.anchor_window));

  // clang-format off
  EXPECT_EQ(render_plan_json_at(plan, example_info(), example_instant),
            R"doc({
  "metadata": {
    "generated_at": "2026-12-05T14:03:07Z",
    "anchor_selection": "stg_events+",
    "anchor_window": {
      "event_time_start": "2026-11-01",
      "event_time_end": "2026-11-30",
      "source": "explicit"
    },
    "manifest_path": "./target/manifest.json",
    "manifest_generated_at": "2026-12-05T13:59:41.123456Z",
    "dbt_command": "dbt",
    "max_window_expansion_days": 90,
    "warnings": []
  },
  "models": [
    {
      "name": "stg_events",
      "event_time_start": "2026-11-01",
      "event_time_end": "2026-11-30",
      "lookback": 0,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    }
  ]
})doc");
  // clang-format on
}

TEST(PlanJson, WritesAnchorModelDefaultedWindowWarningsAndParents) {
  Plan plan;
  const Date yesterday_date = day(2026, 12, 4);
  plan.anchor_window = {yesterday_date, yesterday_date};
  plan.default_yesterday = true;
  plan.anchor_model = "fct";
  plan.models.push_back(entry_model("src", plan.anchor_window));
  PlannedModel fct = entry_model("fct", {day(2026, 10, 4), day(2026, 11, 4)});
  fct.lookback = -2;
  fct.lookback_unit = WindowUnit::month;
  fct.lookahead = 3;
  fct.lookahead_unit = WindowUnit::week;
  fct.depends_on = {"src", "other"};
  fct.layer = 12;
  plan.models.push_back(fct);
  PlannedModel yearly = entry_model("yearly", {day(-1, 1, 1), day(12, 3, 4)});
  yearly.lookback_unit = WindowUnit::year;
  plan.models.push_back(yearly);
  plan.warnings = {{"fct", "first"}, {"yearly", "second"}};
  PlanRunInfo info = example_info();
  info.manifest_generated_at.reset();
  info.dbt_command = "uv run dbt";
  info.max_window_expansion_days = -7;

  // clang-format off
  EXPECT_EQ(render_plan_json_at(plan, info, example_instant),
            R"doc({
  "metadata": {
    "generated_at": "2026-12-05T14:03:07Z",
    "anchor_selection": "stg_events+",
    "anchor_model": "fct",
    "anchor_window": {
      "event_time_start": "2026-12-04",
      "event_time_end": "2026-12-04",
      "source": "default_yesterday",
      "note": "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node to yesterday (2026-12-04)"
    },
    "manifest_path": "./target/manifest.json",
    "dbt_command": "uv run dbt",
    "max_window_expansion_days": -7,
    "warnings": [
      {
        "model": "fct",
        "message": "first"
      },
      {
        "model": "yearly",
        "message": "second"
      }
    ]
  },
  "models": [
    {
      "name": "src",
      "event_time_start": "2026-12-04",
      "event_time_end": "2026-12-04",
      "lookback": 0,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    },
    {
      "name": "fct",
      "event_time_start": "2026-10-04",
      "event_time_end": "2026-11-04",
      "lookback": -2,
      "lookback_unit": "month",
      "lookahead": 3,
      "lookahead_unit": "week",
      "depends_on": [
        "src",
        "other"
      ],
      "layer": 12
    },
    {
      "name": "yearly",
      "event_time_start": "-001-01-01",
      "event_time_end": "0012-03-04",
      "lookback": 0,
      "lookback_unit": "year",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    }
  ]
})doc");
  // clang-format on
}

TEST(PlanJson, EmptyPlanHasEmptyArraysAndInvertedWindowStaysInverted) {
  Plan plan;
  plan.anchor_window = {day(2024, 3, 12), day(2024, 3, 10)};
  const std::string json = render_plan_json_at(plan, example_info(), example_instant);
  EXPECT_THAT(json, ::testing::HasSubstr(R"(
      "event_time_start": "2024-03-12",
      "event_time_end": "2024-03-10",
      "source": "explicit"
    },)"));
  EXPECT_THAT(json, ::testing::EndsWith(R"(
    "warnings": []
  },
  "models": []
})"));
}

std::string generated_at_in(const std::string& json) {
  const std::string key = "\"generated_at\": \"";
  const auto start = json.find(key) + key.size();
  return json.substr(start, json.find('"', start) - start);
}

std::string generated_at(std::int64_t unix_seconds) {
  return generated_at_in(render_plan_json_at(Plan{}, example_info(), unix_seconds));
}

TEST(PlanJson, GeneratedAtIsUtcSecondsAndEpochBeforeNineteenSeventy) {
  EXPECT_EQ(generated_at(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(generated_at(-86401), "1970-01-01T00:00:00Z");
  EXPECT_EQ(generated_at(951868799), "2000-02-29T23:59:59Z");
  EXPECT_EQ(generated_at(example_instant), "2026-12-05T14:03:07Z");
}

std::string rendered_name(const std::string& name) {
  Plan plan;
  plan.models.push_back(entry_model(name, {}));
  const std::string json = render_plan_json_at(plan, example_info(), 0);
  const std::string key = "\"name\": \"";
  const auto start = json.find(key) + key.size();
  const auto end = json.find("\",\n", start);
  return json.substr(start, end - start);
}

TEST(PlanJson, EscapesControlCharactersAsJsonRequiresAndNothingElse) {
  std::string all_controls;
  for (int c = 0; c < 0x20; ++c) {
    all_controls += static_cast<char>(c);
  }
  EXPECT_EQ(rendered_name(all_controls),
            R"(\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
            R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
            R"(\u001d\u001e\u001f)");
  EXPECT_EQ(rendered_name("q\"b\\s/d\x7f"), R"(q\"b\\s/d)"
                                            "\x7f");
  EXPECT_EQ(rendered_name("caf\xc3\xa9 \xf0\x9f\x93\x85 \xe2\x80\xa8"),
            "caf\xc3\xa9 \xf0\x9f\x93\x85 \xe2\x80\xa8");
}

TEST(PlanJson, LowersOnlyTheDigitsOfItsOwnEscapes) {
  // A name that spells an escape itself keeps its letters; the control
  // characters around it are escaped with lower-case digits.
  EXPECT_EQ(rendered_name("\x1f\\u001F\\\x1b\\\\uABCD\xc3\xa9\x0b"),
            R"(\u001f\\u001F\\\u001b\\\\uABCD)"
            "\xc3\xa9"
            R"(\u000b)");
}

TEST(PlanJson, ReplacesInvalidUtf8Bytes) {
  EXPECT_EQ(rendered_name("a\xff"
                          "b"),
            "a\xef\xbf\xbd"
            "b");
}

}  // namespace
}  // namespace tarn
