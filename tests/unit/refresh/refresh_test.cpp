#include "refresh/refresh.h"

#include <gtest/gtest.h>

#include "process/process.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

struct RefreshManifest : ::testing::Test {
  /// Runs the shell `steps` in the project, where `at PATH S [.NANOSECONDS]` dates PATH S seconds
  /// after a base time and `put PATH S [TEXT]` first writes TEXT (a printf format) or x to it.
  void arrange(const std::string& steps) {
    fs::create_directories(project);
    const std::string script = R"sh(at() { touch -d "@$((1700000000 + $2))${3-}" "$1"; }
put() { mkdir -p "$(dirname "$1")" && printf "${3:-x}" >"$1" && at "$1" "$2"; }
)sh";
    ASSERT_TRUE(run_process({"sh", "-ec", script + steps}, project)->success()) << steps;
  }

  std::string refresh(const std::string& command = "dbt") {
    const auto done =
        refresh_manifest(project, project / "target/manifest.json", command, {"--target", "ci"});
    return done ? "" : done.error();
  }

  testing::ScratchDir root;
  const fs::path project = root / "p";
  testing::StandInDbt dbt;
};

/// Name ("Stale..." when dbt parse must run) and the steps that change a project whose inputs
/// date from the base time and whose manifest from 100 seconds later.
using Inputs = std::pair<const char*, const char*>;
class ManifestFreshness : public RefreshManifest, public ::testing::WithParamInterface<Inputs> {};

TEST_P(ManifestFreshness, DecidesWhetherDbtParseRunsInTheProject) {
  const auto& [name, steps] = GetParam();
  arrange("put dbt_project.yml 0; put models/a.sql 0; put target/manifest.json 100; " +
          std::string(steps));
  EXPECT_EQ(refresh(), "");
  const bool stale = std::string_view(name).starts_with("Stale");
  EXPECT_EQ(dbt.log(), stale ? project.string() + "\nparse\n--target\nci\n--\n" : "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Inputs, ManifestFreshness, ::testing::ValuesIn(std::vector<Inputs>{
    {"FreshManifest", ""}, {"StaleModel", "put models/b/c/.d.sql 101"},
    {"StaleByANanosecond", "at target/manifest.json 0 .000000005; at models/a.sql 0 .000000006"},
    {"StaleProjectFile", "at dbt_project.yml 101"}, {"StalePackagesFile", "put packages.yml 101"},
    {"StaleInstalledPackage", "put dbt_packages/u/macros/m.sql 101; at dbt_packages 0"},
    {"StaleInstalledPackagesFolder", "put dbt_packages/u/x 0; at dbt_packages 101"},
    {"StaleLocalPackage", "put dependencies.yml 0 'packages: [{local: ../sibling}, {git: x}]';"
     "put ../sibling/dbt_project.yml 0 'model-paths: [own]'; put ../sibling/own/m.sql 101"},
    // A paths value that is not a list of texts keeps the default folder.
    {"StaleWhereAPathsValueIsText", "put dbt_project.yml 0 'model-paths: s'; put models/m 101"},
    {"StaleWhereAPathsListNests", "put dbt_project.yml 0 'macro-paths: [[x]]'; put macros/m 101"},
    // Folders the project does not configure, other files, folder times, and a packages file
    // whose root is a sequence.
    {"FreshOutsideTheInputs",
     "put dbt_project.yml 0 'model-paths: [sql]\\npackages-install-path: vendor';"
     "put sql/s/a.sql 0; at sql 101; put models/old.sql 101; put dbt_packages/u/macros/m.sql 101;"
     "put docs/d.md 101; put target/run_results.json 101;"
     "put packages.yml 0 '[packages, [{local: ../sibling}]]'; put ../sibling/models/m.sql 101"},
    {"StaleWithoutManifest", "rm target/manifest.json"},
    {"FreshWithoutInputs", "rm -r target/manifest.json models dbt_project.yml"},
    {"StaleThroughALinkCycle", "ln -s . models/loop; put models/new.sql 101"}}),
    [](const auto& info) { return std::string(info.param.first); });
// clang-format on

TEST_F(RefreshManifest, SaysWhyDbtParseDidNotRefreshTheManifest) {
  arrange("put models/new.sql 101");
  EXPECT_EQ(refresh("dbt '--x"), "could not parse --dbt-command dbt '--x: missing closing quote");
  const testing::StandInDbt failing("exit 2");
  EXPECT_EQ(refresh(), "`dbt parse` failed to refresh the manifest:\nstdout:\n\nstderr:\n");
}

}  // namespace
}  // namespace tarn
