#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "refresh/refresh.h"

namespace tarn {
namespace {

using ::testing::ElementsAreArray;

const std::vector<std::string> k_default_folders = {"models",    "macros",   "seeds",
                                                    "snapshots", "analyses", "tests"};

struct ProjectCase {
  std::string name;
  std::string dbt_project_yml;
  std::vector<std::string> folders;
  std::string packages_install_path = "dbt_packages";
};

class ProjectInputsOf : public ::testing::TestWithParam<ProjectCase> {};

TEST_P(ProjectInputsOf, AYamlText) {
  const ProjectInputs inputs = project_inputs(GetParam().dbt_project_yml);
  EXPECT_THAT(inputs.folders, ElementsAreArray(GetParam().folders));
  EXPECT_EQ(inputs.packages_install_path, GetParam().packages_install_path);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ProjectInputsOf,
    ::testing::Values(
        ProjectCase{"NoPathKeys", "name: shop\nversion: '1.0'\n", k_default_folders},
        ProjectCase{"ModelPathsReplaceOnlyTheModelsDefault",
                    "model-paths: [transform, legacy]\n",
                    {"transform", "legacy", "macros", "seeds", "snapshots", "analyses", "tests"}},
        ProjectCase{"EveryKey",
                    "model-paths: [m]\nmacro-paths: [ma]\nseed-paths: [s]\nsnapshot-paths: [sn]\n"
                    "analysis-paths: [a]\ntest-paths: [t]\ndocs-paths: [d]\n"
                    "packages-install-path: vendor/packages\n",
                    {"m", "ma", "s", "sn", "a", "t", "d"},
                    "vendor/packages"},
        ProjectCase{"EmptyListMeansNoFolder",
                    "test-paths: []\n",
                    {"models", "macros", "seeds", "snapshots", "analyses"}},
        ProjectCase{"OddValuesKeepTheDefaults",
                    "model-paths: transform\nseed-paths: [[x]]\nmacro-paths: ~\n"
                    "packages-install-path: [x]\n",
                    k_default_folders},
        ProjectCase{"NotAMapping", "- model-paths: [x]\n", k_default_folders},
        ProjectCase{"NotYaml", "model-paths: [unclosed\n", k_default_folders}),
    [](const auto& info) { return info.param.name; });

struct PackagesCase {
  std::string name;
  std::string packages_yml;
  std::vector<std::string> folders;
};

class LocalPackageFoldersOf : public ::testing::TestWithParam<PackagesCase> {};

TEST_P(LocalPackageFoldersOf, AYamlText) {
  EXPECT_THAT(local_package_folders(GetParam().packages_yml), ElementsAreArray(GetParam().folders));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LocalPackageFoldersOf,
    ::testing::Values(
        PackagesCase{"OnlyLocalEntries",
                     "packages:\n  - package: dbt-labs/dbt_utils\n    version: 1.3.0\n"
                     "  - local: packages/finance\n  - git: https://example.invalid/x.git\n"
                     "  - local: ../shared\n",
                     {"packages/finance", "../shared"}},
        PackagesCase{"OddEntriesAreSkipped",
                     "packages:\n  - local: ~\n  - local: [x]\n  - just-text\n  - local: ok\n",
                     {"ok"}},
        PackagesCase{"NoPackagesList", "projects:\n  - name: other\n", {}},
        PackagesCase{"NotYaml", "packages: [\n", {}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tarn
