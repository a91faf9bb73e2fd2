// What the properties leave open: versioned names, the Anchor's name, warning and note texts.

#include <gtest/gtest.h>

#include "plan/plan.h"

namespace tarn {
namespace {

/// stg feeds dim.v1 and, a day further back, dim.v2; child_v1 reads dim.v1,
/// and child_v2, two days further back but without event_time, dim.v2.
struct Versioned : ::testing::Test {
  Versioned() {
    for (const std::string printed : {"stg", "dim.v1", "dim.v2", "child_v1", "child_v2"}) {
      ManifestNode& node = manifest.nodes["model.p." + printed];
      node.id = "model.p." + printed;
      node.name = printed.substr(0, printed.find(".v"));
      node.version = node.name == printed ? std::nullopt : std::optional(printed.substr(5));
      node.depends_on = {printed == "stg"              ? "seed.p.s"
                         : printed.starts_with("dim.") ? "model.p.stg"
                                                       : "model.p.dim." + printed.substr(6)};
      node.event_time = printed == "child_v2" ? std::nullopt : std::optional<std::string>("at");
      if (printed.ends_with("v2")) {
        node.meta.emplace().lookback = printed == "dim.v2" ? 1 : 2;
      }
      selection.insert(node.id);
    }
  }

  std::expected<Plan, PlanError> plan(const char* anchor = nullptr, std::int64_t limit = 90,
                                      std::optional<Window> window = Window{kDay, kDay}) const {
    return generate(manifest, selection, window, limit,
                    anchor ? std::optional<std::string>(anchor) : std::nullopt);
  }

  static constexpr Date kDay{19792};  // 2024-03-10
  Manifest manifest;
  Selection selection;
};

TEST_F(Versioned, OverrideByAVersionsPrintedNameWinsOverItsBareName) {
  const std::pair<std::map<std::string, std::int64_t>, std::string> cases[] = {
      {{{"dim", 4}}, "2024-03-05"},
      {{{"dim", 4}, {"dim.v2", 0}}, "2024-03-09"},
      {{{"dim.v1", 7}}, "2024-03-07"}};
  for (const auto& [overrides, start] : cases) {
    manifest.nodes["model.p.child_v2"].meta->lookback_overrides = {overrides.begin(),
                                                                   overrides.end()};
    const PlannedModel child = plan()->models.back();
    EXPECT_EQ(child.name + " " + format_date(child.event_time_start) + " " + child.depends_on[0],
              "child_v2 " + start + " dim.v2");
  }
}

TEST_F(Versioned, WarningsAndTheNoteFollowThePlanOrderExpansionFirst) {
  const std::string meta =
      "child_v2: declares config.meta.tarn (lookback/lookahead) but has no event_time "
      "configured -- this isn't a microbatch model in dbt's own terms, so this config has no "
      "real effect\n";
  for (const auto& [limit, expected] :
       {std::pair{4, meta},
        {3, "child_v2: expanded window (4 days) exceeds max_window_expansion_days (3)\n" + meta}}) {
    std::string lines;
    const Plan planned = plan(nullptr, limit).value();
    for (const PlanWarning& warning : planned.warnings) {
      lines += warning.model + ": " + warning.message + "\n";
    }
    EXPECT_EQ(lines, expected);
  }
  EXPECT_EQ(plan(nullptr, 90, std::nullopt)->default_yesterday_note(),
            "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (" +
                format_date(yesterday()) + ")");
}

TEST_F(Versioned, AnchorNameSharedByTwoPackagesIsTheSmallestId) {
  // model.a.stg (the smaller id) reads model.a.up three days back; model.p.stg reads a seed.
  for (const char* id : {"model.a.up", "model.a.stg"}) {
    ManifestNode& node = manifest.nodes[id];
    node.id = id;
    node.name = std::string(id).substr(8);
    node.event_time = "at";
    selection.insert(node.id);
  }
  manifest.nodes["model.a.stg"].depends_on = {"model.a.up"};
  manifest.nodes["model.a.stg"].meta.emplace().lookback = 3;
  const auto planned = plan("stg");
  ASSERT_TRUE(planned) << planned.error().message();
  for (const PlannedModel& model : planned->models) {
    if (model.name == "up") {
      EXPECT_EQ(format_date(model.event_time_start), "2024-03-07");
    }
  }
}

struct AnchorCase {
  const char* name;
  const char* anchor;
  std::string outcome;  // the Anchor model, or the failure message
  bool select_v1 = true;
};

class AnchorName : public Versioned, public ::testing::WithParamInterface<AnchorCase> {};

TEST_P(AnchorName, ResolvesToOneSelectedModelOrFails) {
  selection.erase(GetParam().select_v1 ? "" : "model.p.dim.v1");
  const auto planned = plan(GetParam().anchor);
  EXPECT_EQ(planned ? *planned->anchor_model : planned.error().message(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Names, AnchorName,
    ::testing::Values(
        AnchorCase{"BareNameOfTheOnlySelectedVersion", "dim", "dim.v2", false},
        AnchorCase{"BareNameOfTwoSelectedVersions", "dim",
                   "--anchor \"dim\" names a versioned model with 2 versions selected by "
                   "--select -- pass one of them: dim.v1, dim.v2"},
        AnchorCase{"UnselectedVersion", "dim.v1",
                   "--anchor \"dim.v1\" is not among the 4 model(s) selected by --select: "
                   "child_v1, child_v2, dim.v2, stg",
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarn
