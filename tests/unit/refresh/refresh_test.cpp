#include "refresh/refresh.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "unit/support/stand_in_dbt.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScopedEnv;
using testing::ScratchDir;
using testing::StandInDbt;
using testing::write_file;

constexpr long k_base = 1'700'000'000;

/// Sets the modification time of what `path` names (links followed).
void set_mtime(const fs::path& path, long seconds, long nanoseconds = 0) {
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

/// Writes a file stamped with the given time.
void put(const fs::path& path, long seconds, long nanoseconds = 0) {
  write_file(path, "x");
  set_mtime(path, seconds, nanoseconds);
}

/// A project whose inputs all date from k_base and whose manifest is newer.
class RefreshManifest : public ::testing::Test {
 protected:
  RefreshManifest() {
    put(project("dbt_project.yml"), k_base);
    put(project("models/staging/stg_orders.sql"), k_base);
    put(manifest_, k_base + 100);
  }

  fs::path project(const fs::path& rest) const { return project_ / rest; }

  std::expected<void, std::string> refresh(const std::vector<std::string>& args = {}) {
    return refresh_manifest(project_.path(), manifest_, dbt_.program().string(), args);
  }

  bool refreshed() {
    auto result = refresh();
    EXPECT_TRUE(result.has_value()) << result.error();
    return !dbt_.calls().empty();
  }

  ScratchDir tools_;
  ScratchDir project_;
  fs::path manifest_ = project_ / "target" / "manifest.json";
  StandInDbt dbt_{tools_.path(), StandInDbt::answer("parsed")};
};

/// Where a case arranges its files: the project, its manifest, and a
/// directory outside the project for link targets.
struct Layout {
  fs::path project;
  fs::path manifest;
  fs::path outside;
};

struct FreshnessCase {
  const char* name;
  std::function<void(const Layout&)> arrange;
  bool stale;
};

class Freshness : public RefreshManifest, public ::testing::WithParamInterface<FreshnessCase> {};

TEST_P(Freshness, DecidesWhetherDbtParseRuns) {
  GetParam().arrange(Layout{project_.path(), manifest_, tools_ / "outside"});
  EXPECT_EQ(refreshed(), GetParam().stale);
}

const fs::path k_model = "models/staging/stg_orders.sql";

FreshnessCase newer_input(const char* name, const char* input) {
  return {name, [input](const Layout& at) { put(at.project / input, k_base + 101); }, true};
}

INSTANTIATE_TEST_SUITE_P(
    RefreshManifest, Freshness,
    ::testing::Values(
        FreshnessCase{"ManifestNewerThanEveryInput", [](const Layout&) {}, false},
        FreshnessCase{"EqualTimes",
                      [](const Layout& at) {
                        set_mtime(at.manifest, k_base, 500);
                        set_mtime(at.project / k_model, k_base, 500);
                      },
                      false},
        FreshnessCase{"InputOneNanosecondLater",
                      [](const Layout& at) {
                        set_mtime(at.manifest, k_base, 500);
                        set_mtime(at.project / k_model, k_base, 501);
                      },
                      true},
        FreshnessCase{"SecondsCompareBeforeNanoseconds",
                      [](const Layout& at) {
                        set_mtime(at.manifest, k_base + 1, 0);
                        set_mtime(at.project / k_model, k_base, 999'999'999);
                      },
                      false},
        newer_input("DeepModelFile", "models/a/b/c/d/e/deep.sql"),
        newer_input("HiddenModelFile", "models/.hidden"),
        newer_input("GenericTest", "tests/generic/x.sql"),
        newer_input("Analysis", "analyses/a.sql"), newer_input("Macro", "macros/m.sql"),
        newer_input("Seed", "seeds/s.csv"), newer_input("Snapshot", "snapshots/snap.sql"),
        newer_input("PackagesFile", "packages.yml"),
        newer_input("DependenciesFile", "dependencies.yml"),
        newer_input("PackageLock", "package-lock.yml"),
        newer_input("ProjectFile", "dbt_project.yml"),
        FreshnessCase{"OtherFilesAndDirectoryTimes",
                      [](const Layout& at) {
                        put(at.project / "docs/overview.md", k_base + 101);
                        put(at.project / "target/run_results.json", k_base + 101);
                        put(at.project / "README.md", k_base + 101);
                        set_mtime(at.project / "models/staging", k_base + 101);
                        set_mtime(at.project / "models", k_base + 101);
                      },
                      false},
        FreshnessCase{"MissingManifest", [](const Layout& at) { fs::remove(at.manifest); }, true},
        FreshnessCase{"NoInputsAtAll",
                      [](const Layout& at) {
                        fs::remove_all(at.project / "models");
                        fs::remove(at.project / "dbt_project.yml");
                        fs::remove(at.manifest);
                        fs::create_directories(at.project / "docs");
                      },
                      false},
        FreshnessCase{"ManifestLinkCountsByItsTarget",
                      [](const Layout& at) {
                        put(at.outside / "old.json", k_base - 50);
                        fs::remove(at.manifest);
                        fs::create_symlink(at.outside / "old.json", at.manifest);
                      },
                      true},
        FreshnessCase{"LinkedDirectoryHoldsANewerFile",
                      [](const Layout& at) {
                        put(at.outside / "nested/new.sql", k_base + 101);
                        fs::create_directory_symlink(at.outside, at.project / "models/shared");
                      },
                      true},
        FreshnessCase{"NewLinkToAnOldFile",
                      [](const Layout& at) {
                        put(at.outside / "old.sql", k_base);
                        fs::create_symlink(at.outside / "old.sql", at.project / "models/l.sql");
                      },
                      false},
        FreshnessCase{"BrokenLink",
                      [](const Layout& at) {
                        fs::create_symlink(at.project / "nowhere.sql",
                                           at.project / "models/dangling.sql");
                      },
                      false},
        FreshnessCase{"LinkCycleStillReachesEveryFile",
                      [](const Layout& at) {
                        fs::create_directory_symlink(at.project / "models",
                                                     at.project / "models/staging/loop");
                        fs::create_directory_symlink(at.project / "models/staging",
                                                     at.project / "models/staging/self");
                        put(at.project / "models/staging/new.sql", k_base + 101);
                      },
                      true},
        FreshnessCase{"DirectoryReachedTwiceThroughLinks",
                      [](const Layout& at) {
                        put(at.outside / "new.sql", k_base + 101);
                        fs::create_directory_symlink(at.outside, at.project / "models/first");
                        fs::create_directory_symlink(at.outside, at.project / "macros");
                      },
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RefreshManifest, ParseRunsInTheProjectDirectoryWithTheExtraWords) {
  put(project("models/new.sql"), k_base + 101);
  ASSERT_TRUE(refresh({"--target", "ci"}).has_value());
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cwd, project_.path().string());
  EXPECT_THAT(calls[0].args, ElementsAre("parse", "--target", "ci"));
}

TEST_F(RefreshManifest, CommandTextErrors) {
  put(project("models/new.sql"), k_base + 101);
  EXPECT_EQ(refresh_manifest(project_.path(), manifest_, "dbt '--x", {}).error(),
            "could not parse --dbt-command dbt '--x: missing closing quote");
  EXPECT_EQ(refresh_manifest(project_.path(), manifest_, "  ", {}).error(),
            "--dbt-command resolved to an empty command");
  EXPECT_EQ(refresh_manifest(project_.path(), manifest_, "tarn-no-such-dbt --flag", {}).error(),
            "could not run `tarn-no-such-dbt --flag parse`: No such file or directory");
  EXPECT_THAT(dbt_.calls(), IsEmpty());
}

TEST_F(RefreshManifest, FailedParseQuotesBothStreams) {
  put(project("models/new.sql"), k_base + 101);
  dbt_ = StandInDbt(tools_.path(), StandInDbt::answer("out\\n", "bad \\377 yaml", 2));
  EXPECT_EQ(refresh().error(), "`" + dbt_.program().string() +
                                   " parse` failed to refresh the manifest:\nstdout:\nout\n\n"
                                   "stderr:\nbad \uFFFD yaml");
}

TEST_F(RefreshManifest, PlainDbtIsFoundOnTheSearchPath) {
  put(project("models/new.sql"), k_base + 101);
  ScopedEnv path("PATH", tools_.path().string() + ":" + std::getenv("PATH"));
  ASSERT_TRUE(refresh_manifest(project_.path(), manifest_, "dbt", {"--target", "ci"}).has_value());
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].program, dbt_.program().string());
  EXPECT_THAT(calls[0].args, ElementsAre("parse", "--target", "ci"));
}

}  // namespace
}  // namespace tarn
