#include "output/plan_json.h"

#include <gtest/gtest.h>

#include <numeric>

#include "date/date.h"
#include "output/json_writer.h"

namespace tarn {
namespace {

// clang-format off
const Plan example{{{"fct", days_from_civil(-1, 1, 1), days_from_civil(12, 3, 4), -2,
                     WindowUnit::month, 3, WindowUnit::year, {"src", "other"}, 12}},
                   {{"fct", "first"}}, "fct", {{20791}, {20791}}, true};  // 2026-12-04
// clang-format on
const PlanRunInfo info{"stg+", "./target/manifest.json", "uv run dbt", std::nullopt, -7};

TEST(PlanJson, WritesTheDocumentByteForByte) {
  EXPECT_EQ(render_plan_json_at(example, info, 1796479387), R"doc({
  "metadata": {
    "generated_at": "2026-12-05T14:03:07Z",
    "anchor_selection": "stg+",
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
      }
    ]
  },
  "models": [
    {
      "name": "fct",
      "event_time_start": "-001-01-01",
      "event_time_end": "0012-03-04",
      "lookback": -2,
      "lookback_unit": "month",
      "lookahead": 3,
      "lookahead_unit": "year",
      "depends_on": [
        "src",
        "other"
      ],
      "layer": 12
    }
  ]
})doc");
}

// The controls, the rest as it is, not UTF-8, and escapes of the text's own left alone.
TEST(JsonWriter, EscapesStringsAsJsonRequiresAndNothingElse) {
  std::string text(0x20, '\0');
  std::iota(text.begin(), text.end(), '\0');
  JsonWriter out(JsonWriter::Layout::compact, 1);  // too small: the text has to grow
  out.value(text + "q\"b\\s/d\x7f \xe2\x80\xa8|a\xff\xc3(\xed\xa0|\x1f\\u001F\\\x1b\\\\uABCD");
  EXPECT_EQ(std::move(out).take(),
            R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
            R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
            R"(\u001d\u001e\u001fq\"b\\s/d)"
            "\x7f \xe2\x80\xa8|a\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd|"
            R"(\u001f\\u001F\\\u001b\\\\uABCD")");
}

}  // namespace
}  // namespace tarn
