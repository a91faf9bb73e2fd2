#include "refresh/refresh.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST_F(RefreshManifest, FreshManifestStartsNoDbt) {
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, EqualTimesCountAsFresh) {
  set_mtime(manifest_, k_base, 500);
  set_mtime(project("models/staging/stg_orders.sql"), k_base, 500);
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, OneNanosecondLaterInputIsStale) {
  set_mtime(manifest_, k_base, 500);
  set_mtime(project("models/staging/stg_orders.sql"), k_base, 501);
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, SecondsCompareBeforeNanoseconds) {
  set_mtime(manifest_, k_base + 1, 0);
  set_mtime(project("models/staging/stg_orders.sql"), k_base, 999'999'999);
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, DeepModelFileRunsParseInTheProjectDirectory) {
  put(project("models/a/b/c/d/e/deep.sql"), k_base + 101);
  ASSERT_TRUE(refresh({"--target", "ci"}).has_value());
  auto calls = dbt_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cwd, project_.path().string());
  EXPECT_THAT(calls[0].args, ElementsAre("parse", "--target", "ci"));
}

TEST_F(RefreshManifest, EveryInputDirectoryAndFileCounts) {
  for (const char* input : {"tests/generic/x.sql", "analyses/a.sql", "macros/m.sql", "seeds/s.csv",
                            "snapshots/snap.sql", "packages.yml", "dependencies.yml",
                            "package-lock.yml", "dbt_project.yml", "models/.hidden"}) {
    SCOPED_TRACE(input);
    put(project(input), k_base + 101);
    EXPECT_TRUE(refreshed());
    set_mtime(project(input), k_base);
    fs::remove(tools_ / "calls.log");
  }
}

TEST_F(RefreshManifest, OtherDirectoriesAndDirectoryTimesDoNotCount) {
  put(project("docs/overview.md"), k_base + 101);
  put(project("target/run_results.json"), k_base + 101);
  put(project("README.md"), k_base + 101);
  set_mtime(project("models/staging"), k_base + 101);
  set_mtime(project("models"), k_base + 101);
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, MissingManifestIsStale) {
  fs::remove(manifest_);
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, NoInputsNeverRefresh) {
  fs::remove_all(project("models"));
  fs::remove(project("dbt_project.yml"));
  fs::remove(manifest_);
  fs::create_directories(project("docs"));
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, ManifestLinkIsFollowed) {
  put(tools_ / "elsewhere.json", k_base - 50);
  fs::remove(manifest_);
  fs::create_symlink(tools_ / "elsewhere.json", manifest_);
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, LinkedDirectoriesAndFilesCountByTheirTargets) {
  ScratchDir shared;
  put(shared / "nested/new.sql", k_base + 101);
  fs::create_directory_symlink(shared.path(), project("models/shared"));
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, LinkedFileCountsByItsTargetsTime) {
  ScratchDir shared;
  put(shared / "old.sql", k_base);
  fs::create_symlink(shared / "old.sql", project("models/linked.sql"));
  EXPECT_FALSE(refreshed());  // the link itself is brand new
  set_mtime(shared / "old.sql", k_base + 101);
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, BrokenLinksAreIgnored) {
  fs::create_symlink(project("nowhere.sql"), project("models/dangling.sql"));
  EXPECT_FALSE(refreshed());
}

TEST_F(RefreshManifest, LinkCycleEndsAndStillCountsEveryReachableFile) {
  fs::create_directory_symlink(project("models"), project("models/staging/loop"));
  fs::create_directory_symlink(project("models/staging"), project("models/staging/self"));
  EXPECT_FALSE(refreshed());
  put(project("models/staging/new.sql"), k_base + 101);
  EXPECT_TRUE(refreshed());
}

TEST_F(RefreshManifest, DirectoryReachedTwiceThroughLinksIsCountedOnce) {
  ScratchDir shared;
  put(shared / "old.sql", k_base);
  fs::create_directory_symlink(shared.path(), project("models/first"));
  fs::create_directory_symlink(shared.path(), project("macros"));
  EXPECT_FALSE(refreshed());
  set_mtime(shared / "old.sql", k_base + 101);
  EXPECT_TRUE(refreshed());
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
