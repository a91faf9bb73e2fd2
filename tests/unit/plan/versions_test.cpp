#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plan_fixture.h"

namespace tarn {
namespace {

using testing::day;
using ::testing::ElementsAre;
using testing::Graph;
using testing::lookback;
using testing::summary;

const Window march_10{day(2024, 3, 10), day(2024, 3, 10)};

/// dim with versions 1 and 2 under stg; child_v1 reads v1, child_v2 reads
/// v2 with the given meta.
Graph two_versions(const TarnMeta& child_v2_meta = lookback(2)) {
  Graph g;
  g.add("stg");
  g.add("dim", {"stg"}, std::nullopt, true, "model.p.dim.v1").version = "1";
  g.add("dim", {"stg"}, lookback(1), true, "model.p.dim.v2").version = "2";
  g.add("child_v1", {"model.p.dim.v1"});
  g.add("child_v2", {"model.p.dim.v2"}, child_v2_meta);
  return g;
}

TEST(VersionedModels, PlanNamesAndParentsCarryTheVersion) {
  const Plan plan = two_versions().plan(march_10, 1);
  EXPECT_THAT(
      summary(plan),
      ElementsAre("stg [2024-03-10 .. 2024-03-10] 0", "dim.v1 [2024-03-10 .. 2024-03-10] 1",
                  "dim.v2 [2024-03-09 .. 2024-03-10] 1", "child_v1 [2024-03-10 .. 2024-03-10] 2",
                  "child_v2 [2024-03-07 .. 2024-03-10] 2"));
  EXPECT_THAT(plan.models[4].depends_on, ElementsAre("dim.v2"));
  EXPECT_EQ(plan.warnings[0].model, "dim.v2");
}

struct OverrideCase {
  std::string name;
  std::vector<std::pair<std::string, std::int64_t>> overrides;
  std::string child_window;
};

class VersionedOverride : public ::testing::TestWithParam<OverrideCase> {};

TEST_P(VersionedOverride, AppliesToTheEdgeFromThatVersion) {
  TarnMeta meta = lookback(2);
  for (const auto& [key, amount] : GetParam().overrides) {
    meta.lookback_overrides[key] = amount;
  }
  EXPECT_EQ(summary(two_versions(meta).plan(march_10)).back(),
            "child_v2 [" + GetParam().child_window + " .. 2024-03-10] 2");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VersionedOverride,
    ::testing::Values(OverrideCase{"ByPrintedName", {{"dim.v2", 5}}, "2024-03-04"},
                      OverrideCase{"ByBareName", {{"dim", 4}}, "2024-03-05"},
                      OverrideCase{"PrintedNameWins", {{"dim", 4}, {"dim.v2", 0}}, "2024-03-09"},
                      OverrideCase{"OtherVersionOnly", {{"dim.v1", 7}}, "2024-03-07"}),
    [](const auto& info) { return info.param.name; });

struct AnchorCase {
  std::string name;
  bool select_v1;
  std::string anchor;
  std::string outcome;  // the anchor model, or the error message
};

class VersionedAnchor : public ::testing::TestWithParam<AnchorCase> {};

TEST_P(VersionedAnchor, ResolvesOrRefuses) {
  Graph g = two_versions();
  if (!GetParam().select_v1) {
    g.selection.erase("model.p.dim.v1");
  }
  auto plan = generate(g.manifest, g.selection, march_10, 90, GetParam().anchor);
  EXPECT_EQ(plan ? plan->anchor_model.value_or("") : plan.error().message(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Names, VersionedAnchor,
    ::testing::Values(
        AnchorCase{"PrintedName", true, "dim.v1", "dim.v1"},
        AnchorCase{"BareNameOfTheOnlySelectedVersion", false, "dim", "dim.v2"},
        AnchorCase{"BareNameOfTwoSelectedVersions", true, "dim",
                   "--anchor \"dim\" names a versioned model with 2 versions selected by --select "
                   "-- pass one of them: dim.v1, dim.v2"},
        AnchorCase{"UnselectedVersion", false, "dim.v1",
                   "--anchor \"dim.v1\" is not among the 4 model(s) selected by --select: "
                   "child_v1, child_v2, dim.v2, stg"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarn
