// What the properties leave open: versioned and shared names, the Anchor's name, warning texts.

#include <gtest/gtest.h>

#include <limits>

#include "plan/plan.h"

namespace tarn {
namespace {

struct Options {
  std::optional<std::string> anchor = std::nullopt;
  std::unordered_map<std::string, std::int64_t> overrides{};  // child_v2's lookback ones
  std::int64_t limit = 90;
  bool select_v1 = true;
};

struct PlanCase {
  const char* name;
  std::string outcome;  // the Anchor, up's and child_v2's starts, warnings before kMeta; or failure
  Options with;
  friend void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }
};

// Child, parent and the child's lookback.
const std::tuple<std::string, const char*, int> k_graph[] = {
    {"p.stg", "seed", 0},          {"p.dim.v1", "p.stg", 0},      {"p.dim.v2", "p.stg", 1},
    {"p.child_v1", "p.dim.v1", 0}, {"p.child_v2", "p.dim.v2", 2}, {"a.up", "seed", 0},
    {"a.stg", "a.up", 1}};

/// stg feeds dim.v1 and, a day further back, dim.v2; child_v1 reads dim.v1, and child_v2, two
/// days further back but without event_time, dim.v2. Package a's stg reads up a day back.
std::expected<Plan, std::string> plan(const Options& c) {
  Manifest manifest;
  Selection selection;
  for (const auto& [child, parent, lookback] : k_graph) {
    ManifestNode& node = manifest.nodes["model." + child];
    node.id = "model." + child;
    node.name = child.substr(2, child.find(".v") - 2);  // the rest when there is no version
    if (child.contains(".v")) {
      node.version = child.substr(child.find(".v") + 2);
    }
    node.depends_on = {"model." + std::string(parent)};
    node.event_time = node.name == "child_v2" ? std::nullopt : std::optional<std::string>("at");
    node.meta.emplace().lookback = lookback;
    selection.insert(node.id);
  }
  manifest.nodes["model.p.child_v2"].meta->lookback_overrides = c.overrides;
  selection.erase(c.select_v1 ? "" : "model.p.dim.v1");
  return generate(manifest, selection, Window{{19792}, {19792}}, c.limit, c.anchor);  // 2024-03-10
}

// Every plan ends with this warning, after the others.
const std::string kMeta =
    "\nchild_v2: declares config.meta.tarn (lookback/lookahead) but has no event_time configured "
    "-- this isn't a microbatch model in dbt's own terms, so this config has no real effect";

class Plans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Plans, Outcome) {
  const auto planned = plan(GetParam().with);
  if (!planned) {
    EXPECT_EQ(planned.error(), GetParam().outcome);
    return;
  }
  std::string text = planned->anchor_model.value_or("-");
  for (const PlannedModel& m : planned->models) {
    text += m.name == "up" || m.name == "child_v2" ? " " + format_date(m.event_time_start) : "";
  }
  for (const PlanWarning& w : planned->warnings) {
    text += "\n" + w.model + ": " + w.message;
  }
  EXPECT_EQ(text, GetParam().outcome + kMeta);
}

// dim.v2's and package a's stg's two days are at the limit of 2 and not warned of.
// clang-format off
const PlanCase k_cases[] = {
    {"OverrideByBareName", "- 2024-03-10 2024-03-05", {.overrides = {{"dim", 4}}}},
    {"OverrideByPrintedNameWins", "- 2024-03-10 2024-03-09",
     {.overrides = {{"dim", 4}, {"dim.v2", 0}}}},
    {"OverrideOfAnotherVersionIgnored", "- 2024-03-10 2024-03-07", {.overrides = {{"dim.v1", 7}}}},
    {"WindowOverTheLimitWarnedBeforeMeta", "- 2024-03-10 2024-03-07\nchild_v2: expanded window "
     "(4 days) exceeds max_window_expansion_days (2)", {.limit = 2}},
    {"WindowWidenedBeyondTheDayRangeWarned", "- 2024-03-10 -25252734927764531-08-14\nchild_v2: "
     "expanded window (9223372036854775809 days) exceeds max_window_expansion_days (90)",
     {.overrides = {{"dim.v2", std::numeric_limits<std::int64_t>::max()}}}},
    {"AnchorNameSharedByTwoPackagesIsTheSmallestId", "stg 2024-03-09 2024-03-07",
     {.anchor = "stg"}},
    {"AnchorBareNameOfTheOnlySelectedVersion", "dim.v2 2024-03-10 2024-03-08",
     {.anchor = "dim", .select_v1 = false}},
    {"AnchorBareNameOfTwoSelectedVersions", "--anchor \"dim\" names a versioned model with 2 "
     "versions selected by --select -- pass one of them: dim.v1, dim.v2", {.anchor = "dim"}},
    {"AnchorUnselectedVersion", "--anchor \"dim.v1\" is not among the 6 model(s) selected by "
     "--select: child_v1, child_v2, dim.v2, stg, stg, up",
     {.anchor = "dim.v1", .select_v1 = false}}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Plans, ::testing::ValuesIn(k_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
