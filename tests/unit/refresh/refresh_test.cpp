#include "refresh/refresh.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

/// A project at <root>/p whose inputs date from kBase and whose manifest is 100 seconds newer.
struct RefreshManifest : ::testing::Test {
  static constexpr long kBase = 1'700'000'000;

  RefreshManifest() {
    arrange({"put dbt_project.yml 0", "put models/a.sql 0", "put target/manifest.json 100"});
  }

  /// Steps on paths under the project, times in seconds after kBase:
  /// "put PATH S [TEXT]", "stamp PATH S NS", "rm PATH" and "ln PATH TARGET".
  void arrange(const Words& steps) {
    for (const std::string& step : steps) {
      std::istringstream in(step);
      std::string op, path, text;
      long seconds = 0, nanoseconds = 0;
      in >> op >> path;
      if (op == "rm" || op == "ln") {
        in >> text;
        op == "rm" ? (void)fs::remove_all(project / path)
                   : fs::create_symlink(text, project / path);
        continue;
      }
      in >> seconds >> nanoseconds;
      if (op == "put") {
        in.clear();
        std::getline(in >> std::ws, text, '\0');
        testing::write_file(project / path, text.empty() ? "x" : text);
      }
      const timespec time = {kBase + seconds, nanoseconds}, times[2] = {time, time};
      ASSERT_EQ(::utimensat(AT_FDCWD, (project / path).c_str(), times, 0), 0) << step;
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

struct Inputs {
  const char* name;  // "Stale..." when dbt parse must run
  Words steps;
  friend void PrintTo(const Inputs& c, std::ostream* os) { *os << c.name; }
};

class ManifestFreshness : public RefreshManifest, public ::testing::WithParamInterface<Inputs> {};

TEST_P(ManifestFreshness, DecidesWhetherDbtParseRunsInTheProject) {
  const bool stale = std::string_view(GetParam().name).starts_with("Stale");
  arrange(GetParam().steps);
  EXPECT_EQ(refresh(), "");
  EXPECT_EQ(dbt.log(), stale ? project.string() + "\nparse\n--target\nci\n--\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ManifestFreshness,
    ::testing::Values(
        Inputs{"FreshManifest", {}},
        Inputs{"StaleByANanosecond", {"stamp target/manifest.json 0 5", "stamp models/a.sql 0 6"}},
        Inputs{"StaleModel", {"put models/b/c/.d.sql 101"}},
        Inputs{"StaleProjectFile", {"put dbt_project.yml 101"}},
        Inputs{"StalePackagesFile", {"put packages.yml 101"}},
        Inputs{"StaleInstalledPackage", {"put dbt_packages/u/macros/m.sql 101"}},
        Inputs{"StaleInstalledPackagesFolder",
               {"put dbt_packages/u/x 0", "stamp dbt_packages 101 0"}},
        Inputs{
            "StaleLocalPackage",
            {"put dependencies.yml 0 packages: [{local: ../shared}, {git: x}]",
             "put ../shared/dbt_project.yml 0 model-paths: [own]", "put ../shared/own/m.sql 101"}},
        Inputs{"FreshWhenThePackagesFileRootIsASequence",
               {"put packages.yml 0 [packages, [{local: ../shared}]]",
                "put ../shared/models/m.sql 101"}},
        Inputs{"FreshOutsideTheConfiguredFolders",
               {"put dbt_project.yml 0 model-paths: [sql]\npackages-install-path: vendor",
                "put models/old.sql 101", "put dbt_packages/u/macros/m.sql 101"}},
        Inputs{
            "StaleWhereAnOddPathsValueKeepsTheDefault",
            {"put dbt_project.yml 0 model-paths: sql\nmacro-paths: [[x]]", "put models/b.sql 101"}},
        Inputs{"FreshOtherFilesAndFolderTimes",
               {"put docs/d.md 101", "put target/run_results.json 101", "stamp models 101 0"}},
        Inputs{"StaleWithoutManifest", {"rm target/manifest.json"}},
        Inputs{"FreshWithoutInputs",
               {"rm target/manifest.json", "rm models", "rm dbt_project.yml"}},
        Inputs{"StaleThroughALinkCycle", {"ln models/loop .", "put models/new.sql 101"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RefreshManifest, SaysWhyDbtParseDidNotRefreshTheManifest) {
  arrange({"put models/new.sql 101"});
  EXPECT_EQ(refresh("dbt '--x"), "could not parse --dbt-command dbt '--x: missing closing quote");
  dbt.behave(testing::StandInDbt::answer("out\\n", "bad \\377 yaml", 2));
  EXPECT_EQ(
      refresh(),
      "`dbt parse` failed to refresh the manifest:\nstdout:\nout\n\nstderr:\nbad \uFFFD yaml");
}

}  // namespace
}  // namespace tarn
