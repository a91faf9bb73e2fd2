#include "refresh/refresh.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

/// A project at <root>/p whose inputs date from kBase and whose manifest is 100 seconds newer.
struct RefreshManifest : ::testing::Test {
  static constexpr long kBase = 1'700'000'000;

  RefreshManifest() {
    arrange({"dbt_project.yml 0", "models/a.sql 0", "target/manifest.json 100"});
  }

  /// Steps on paths under the project: "PATH S[.NNNNNNNNN] [TEXT]" gives PATH (unless it is a
  /// directory) TEXT or x and the time S seconds (and N nanoseconds) after kBase; "PATH rm"
  /// removes it and "PATH ln TARGET" makes it a link.
  void arrange(const Words& steps) {
    for (const std::string& step : steps) {
      std::istringstream in(step);
      std::string path, op, text;
      std::getline(in >> path >> op >> std::ws, text, '\0');
      const fs::path at = project / path;
      long seconds = 0, nanoseconds = 0;
      if (op == "rm" || op == "ln") {
        op == "rm" ? (void)fs::remove_all(at) : fs::create_symlink(text, at);
        continue;
      }
      std::sscanf(op.c_str(), "%ld.%ld", &seconds, &nanoseconds);
      if (!fs::is_directory(at)) {
        testing::write_file(at, text.empty() ? "x" : text);
      }
      const timespec time = {kBase + seconds, nanoseconds}, times[2] = {time, time};
      ASSERT_EQ(::utimensat(AT_FDCWD, at.c_str(), times, 0), 0) << step;
    }
  }

  std::string refresh(const std::string& command = "dbt", const Words& args = {"--target", "ci"}) {
    const auto done = refresh_manifest(project, project / "target/manifest.json", command, args);
    return done ? "" : done.error();
  }

  testing::ScratchDir root;
  const fs::path project = root / "p";
  testing::StandInDbt dbt;
};

/// Name ("Stale..." when dbt parse must run) and the steps that make the case.
using Inputs = std::pair<const char*, Words>;
class ManifestFreshness : public RefreshManifest, public ::testing::WithParamInterface<Inputs> {};

TEST_P(ManifestFreshness, DecidesWhetherDbtParseRunsInTheProject) {
  const auto& [name, steps] = GetParam();
  arrange(steps);
  EXPECT_EQ(refresh(), "");
  const bool stale = std::string_view(name).starts_with("Stale");
  EXPECT_EQ(dbt.log(), stale ? project.string() + "\nparse\n--target\nci\n--\n" : "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Inputs, ManifestFreshness, ::testing::ValuesIn(std::vector<Inputs>{
    {"FreshManifest", {}},
    {"StaleByANanosecond", {"target/manifest.json 0.000000005", "models/a.sql 0.000000006"}},
    {"StaleModel", {"models/b/c/.d.sql 101"}},
    {"StaleProjectFile", {"dbt_project.yml 101"}},
    {"StalePackagesFile", {"packages.yml 101"}},
    {"StaleInstalledPackage", {"dbt_packages/u/macros/m.sql 101", "dbt_packages 0"}},
    {"StaleInstalledPackagesFolder", {"dbt_packages/u/x 0", "dbt_packages 101"}},
    {"StaleLocalPackage", {"dependencies.yml 0 packages: [{local: ../shared}, {git: x}]",
                           "../shared/dbt_project.yml 0 model-paths: [own]",
                           "../shared/own/m.sql 101"}},
    {"StaleWhereAnOddPathsValueKeepsTheDefault",
     {"dbt_project.yml 0 model-paths: sql\nmacro-paths: [[x]]", "models/b.sql 101"}},
    // Folders the project does not configure, other files, folder times, and a packages file
    // whose root is a sequence.
    {"FreshOutsideTheInputs",
     {"dbt_project.yml 0 model-paths: [sql]\npackages-install-path: vendor", "sql/s/a.sql 0",
      "sql 101", "models/old.sql 101", "dbt_packages/u/macros/m.sql 101", "docs/d.md 101",
      "target/run_results.json 101", "packages.yml 0 [packages, [{local: ../shared}]]",
      "../shared/models/m.sql 101"}},
    {"StaleWithoutManifest", {"target/manifest.json rm"}},
    {"FreshWithoutInputs", {"target/manifest.json rm", "models rm", "dbt_project.yml rm"}},
    {"StaleThroughALinkCycle", {"models/loop ln .", "models/new.sql 101"}}}),
    [](const auto& info) { return std::string(info.param.first); });
// clang-format on

TEST_F(RefreshManifest, SaysWhyDbtParseDidNotRefreshTheManifest) {
  arrange({"models/new.sql 101"});
  EXPECT_EQ(refresh("dbt '--x"), "could not parse --dbt-command dbt '--x: missing closing quote");
  dbt.behave(testing::StandInDbt::answer("out\\n", "bad \\377 yaml", 2));
  EXPECT_EQ(
      refresh(),
      "`dbt parse` failed to refresh the manifest:\nstdout:\nout\n\nstderr:\nbad \uFFFD yaml");
}

}  // namespace
}  // namespace tarn
