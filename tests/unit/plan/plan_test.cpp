// What the properties leave open: versioned and shared names, the Anchor's name, warning texts.

#include <gtest/gtest.h>

#include <limits>

#include "plan/plan.h"

namespace tarn {
namespace {

struct Options {
  const char* anchor = nullptr;
  std::map<std::string, std::int64_t> overrides{};  // child_v2's lookback ones
  std::int64_t limit = 90;
  bool select_v1 = true;
};

struct PlanCase {
  const char* name;
  std::string
      outcome;  // the Anchor, up's and child_v2's starts and warnings before kMeta, or the failure
  Options with;
  friend void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }
};

/// stg feeds dim.v1 and, a day further back, dim.v2; child_v1 reads dim.v1, and child_v2, two
/// days further back but without event_time, dim.v2. Package a's stg reads up a day back.
std::expected<Plan, PlanError> plan(const Options& c) {
  Manifest manifest;
  Selection selection;
  const std::map<std::string, std::int64_t> lookbacks{
      {"model.p.dim.v2", 1}, {"model.p.child_v2", 2}, {"model.a.stg", 1}};
  const std::map<std::string, std::string> parents{
      {"p.stg", "seed"},          {"p.dim.v1", "p.stg"},      {"p.dim.v2", "p.stg"},
      {"p.child_v1", "p.dim.v1"}, {"p.child_v2", "p.dim.v2"}, {"a.up", "seed"},
      {"a.stg", "a.up"}};
  for (const auto& [child, parent] : parents) {
    const std::string id = "model." + child;
    ManifestNode& node = manifest.nodes[id];
    node.id = id;
    const std::string printed = child.substr(2);
    node.name = printed.substr(0, printed.find(".v"));
    if (node.name != printed) {
      node.version = printed.substr(node.name.size() + 2);
    }
    node.depends_on = {"model." + parent};
    node.event_time = node.name == "child_v2" ? std::nullopt : std::optional<std::string>("at");
    if (lookbacks.contains(id)) {
      node.meta.emplace().lookback = lookbacks.at(id);
    }
    selection.insert(id);
  }
  manifest.nodes["model.p.child_v2"].meta->lookback_overrides = {c.overrides.begin(),
                                                                 c.overrides.end()};
  selection.erase(c.select_v1 ? "" : "model.p.dim.v1");
  const Date day{19792};  // 2024-03-10
  return generate(manifest, selection, Window{day, day}, c.limit,
                  c.anchor ? std::optional<std::string>(c.anchor) : std::nullopt);
}

// Every plan ends with this warning, after the others.
const std::string kMeta =
    "\nchild_v2: declares config.meta.tarn (lookback/lookahead) but has no event_time configured "
    "-- this isn't a microbatch model in dbt's own terms, so this config has no real effect";

class Plans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Plans, Outcome) {
  const auto planned = plan(GetParam().with);
  std::string text = planned ? planned->anchor_model.value_or("-") : planned.error().message();
  for (const PlannedModel& m : planned ? planned->models : std::vector<PlannedModel>{}) {
    if (m.name == "up" || m.name == "child_v2") {
      text += " " + m.name + " " + format_date(m.event_time_start);
    }
  }
  for (const PlanWarning& w : planned ? planned->warnings : std::vector<PlanWarning>{}) {
    text += "\n" + w.model + ": " + w.message;
  }
  EXPECT_EQ(text, planned ? GetParam().outcome + kMeta : GetParam().outcome);
}

// dim.v2's and package a's stg's two days are at the limit of 2 and not warned of.
INSTANTIATE_TEST_SUITE_P(
    Cases, Plans,
    ::testing::Values(
        PlanCase{"OverrideByBareName",
                 "- up 2024-03-10 child_v2 2024-03-05",
                 {.overrides = {{"dim", 4}}}},
        PlanCase{"OverrideByPrintedNameWins",
                 "- up 2024-03-10 child_v2 2024-03-09",
                 {.overrides = {{"dim", 4}, {"dim.v2", 0}}}},
        PlanCase{"OverrideOfAnotherVersionIgnored",
                 "- up 2024-03-10 child_v2 2024-03-07",
                 {.overrides = {{"dim.v1", 7}}}},
        PlanCase{"WindowOverTheLimitWarnedBeforeMeta",
                 "- up 2024-03-10 child_v2 2024-03-07\nchild_v2: expanded window (4 days) exceeds "
                 "max_window_expansion_days (2)",
                 {.limit = 2}},
        PlanCase{"WindowWidenedBeyondTheDayRangeWarned",
                 "- up 2024-03-10 child_v2 -25252734927764531-08-14\nchild_v2: expanded window "
                 "(9223372036854775809 days) exceeds max_window_expansion_days (90)",
                 {.overrides = {{"dim.v2", std::numeric_limits<std::int64_t>::max()}}}},
        PlanCase{"AnchorNameSharedByTwoPackagesIsTheSmallestId",
                 "stg up 2024-03-09 child_v2 2024-03-07",
                 {.anchor = "stg"}},
        PlanCase{"AnchorBareNameOfTheOnlySelectedVersion",
                 "dim.v2 up 2024-03-10 child_v2 2024-03-08",
                 {.anchor = "dim", .select_v1 = false}},
        PlanCase{"AnchorBareNameOfTwoSelectedVersions",
                 "--anchor \"dim\" names a versioned model with 2 versions selected by --select "
                 "-- pass one of them: dim.v1, dim.v2",
                 {.anchor = "dim"}},
        PlanCase{"AnchorUnselectedVersion",
                 "--anchor \"dim.v1\" is not among the 6 model(s) selected by --select: "
                 "child_v1, child_v2, dim.v2, stg, stg, up",
                 {.anchor = "dim.v1", .select_v1 = false}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
