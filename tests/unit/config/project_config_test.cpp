#include "config/config.h"
#include "unit/support/scratch_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace tarn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

/// A scratch directory tree; tests that use relative project directories run
/// with it as the current directory, which is restored afterwards.
class ProjectConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::current_path(previous_dir_); }

  fs::path dir(const fs::path& relative) {
    fs::create_directories(root_ / relative);
    return root_ / relative;
  }

  void write(const fs::path& relative, const std::string& text) {
    testing::write_file(root_ / relative, text);
  }

  void enter(const fs::path& relative) { fs::current_path(dir(relative)); }

  LayeredConfig loaded(const fs::path& project_dir) {
    auto config = load_project_config(project_dir);
    EXPECT_TRUE(config.has_value()) << (config ? "" : config.error().message());
    return config.value_or(LayeredConfig{});
  }

  ProjectConfigError load_failure(const fs::path& project_dir) {
    auto config = load_project_config(project_dir);
    EXPECT_FALSE(config.has_value());
    return config ? ProjectConfigError{} : config.error();
  }

  testing::ScratchDir scratch_;
  fs::path root_ = scratch_.path();
  fs::path previous_dir_ = fs::current_path();
};

EffectiveSettings settings(const LayeredConfig& config, SettingOptions options = {}) {
  auto resolved = resolve_settings(options, config);
  EXPECT_TRUE(resolved.has_value()) << (resolved ? "" : resolved.error());
  return resolved.value_or(EffectiveSettings{});
}

using Words = std::vector<std::string>;

TEST_F(ProjectConfigTest, NearerFileWinsKeyByKeyUpToTheRepositoryRoot) {
  dir("r/.git");
  write("r/tarn.yml", "against: main\ndbt-args: --target ci\n");
  write("r/p/tarn.yml", "against: develop\n");
  const EffectiveSettings resolved = settings(loaded(root_ / "r/p"));
  EXPECT_EQ(resolved.against, "develop");
  EXPECT_EQ(resolved.dbt_args, (Words{"--target", "ci"}));
  EXPECT_EQ(resolved.dbt_command, "dbt");
  EXPECT_EQ(resolved.max_window_expansion_days, 90);
}

TEST_F(ProjectConfigTest, ADbtPlanSectionWithoutTheLimitKeepsTheFartherLimit) {
  dir("r/.git");
  write("r/tarn.yml", "dbt-plan:\n  max-window-expansion-days: 30\n");
  write("r/p/tarn.yml", "dbt-plan:\n  something-else: 1\n");
  EXPECT_EQ(loaded(root_ / "r/p").max_window_expansion_days, 30);
  EXPECT_EQ(settings(loaded(root_ / "r/p")).max_window_expansion_days, 30);
}

TEST_F(ProjectConfigTest, WithoutARepositoryOnlyTheProjectFileIsRead) {
  write("r/tarn.yml", "against: main\ndbt-command: far\n");
  write("r/p/tarn.yml", "against: develop\n");
  const LayeredConfig config = loaded(root_ / "r/p");
  EXPECT_EQ(config.against, "develop");
  EXPECT_EQ(config.dbt_command, std::nullopt);
}

TEST_F(ProjectConfigTest, TheDefaultProjectDirectoryNeverLooksAbove) {
  dir("r/.git");
  write("r/tarn.yml", "against: main\ndbt-command: far\n");
  write("r/p/tarn.yml", "against: develop\n");
  enter("r/p");
  const LayeredConfig config = loaded(".");
  EXPECT_EQ(config.against, "develop");
  EXPECT_EQ(config.dbt_command, std::nullopt);
}

TEST_F(ProjectConfigTest, ARelativeProjectDirectoryWalksItsTextUpToTheCurrentDirectory) {
  dir(".git");
  write("tarn.yml", "against: top\ndbt-command: top-dbt\ndbt-args: --top\n");
  write("a/tarn.yml", "against: middle\ndbt-command: middle-dbt\n");
  write("a/b/tarn.yml", "against: bottom\n");
  enter("");
  const LayeredConfig config = loaded("a/b");
  EXPECT_EQ(config.against, "bottom");
  EXPECT_EQ(config.dbt_command, "middle-dbt");
  EXPECT_EQ(config.dbt_args, "--top");
  // A trailing separator names the same directory.
  EXPECT_EQ(loaded("a/b/").dbt_command, "middle-dbt");
}

TEST_F(ProjectConfigTest, ARelativeWalkStopsAtTheCurrentDirectoryWithoutARepository) {
  dir("outer/.git");
  write("outer/tarn.yml", "against: outer\n");
  write("outer/cwd/tarn.yml", "against: cwd\ndbt-command: cwd-dbt\n");
  write("outer/cwd/a/b/tarn.yml", "dbt-args: --b\n");
  enter("outer/cwd");
  const LayeredConfig config = loaded("a/b");
  EXPECT_EQ(config.against, std::nullopt);
  EXPECT_EQ(config.dbt_command, std::nullopt);
  EXPECT_EQ(config.dbt_args, "--b");
}

TEST_F(ProjectConfigTest, DotDotComponentsAreWalkedAsText) {
  dir("repo/.git");
  write("repo/tarn.yml", "against: repo\ndbt-args: --repo\n");
  write("repo/p/tarn.yml", "dbt-args: --p\n");
  write("repo/sibling/tarn.yml", "dbt-command: never-read\n");
  enter("repo/sibling");
  // ../p, then .., which holds .git: the current directory is not consulted.
  const LayeredConfig config = loaded("../p");
  EXPECT_EQ(config.against, "repo");
  EXPECT_EQ(config.dbt_args, "--p");
  EXPECT_EQ(config.dbt_command, std::nullopt);
}

TEST_F(ProjectConfigTest, AnyKindOfGitEntryMarksTheRoot) {
  write("file/.git", "gitdir: /elsewhere/.git/worktrees/x\n");
  write("file/tarn.yml", "against: from-file-root\n");
  write("file/p/tarn.yml", "");
  EXPECT_EQ(loaded(root_ / "file/p").against, "from-file-root");

  dir("real-git");
  dir("link/p");
  fs::create_directory_symlink(root_ / "real-git", root_ / "link/.git");
  write("link/tarn.yml", "against: from-link-root\n");
  EXPECT_EQ(loaded(root_ / "link/p").against, "from-link-root");

  // A dangling link has no metadata once followed: not a repository root.
  dir("dangling/p");
  fs::create_directory_symlink(root_ / "missing", root_ / "dangling/.git");
  write("dangling/tarn.yml", "against: from-dangling-root\n");
  EXPECT_EQ(loaded(root_ / "dangling/p").against, std::nullopt);
}

TEST_F(ProjectConfigTest, AnEmptyFileSetsNothing) {
  dir("r/.git");
  write("r/tarn.yml", "against: main\ndbt-plan:\n  max-window-expansion-days: 0x10\n");
  write("r/p/tarn.yml", "");
  const LayeredConfig config = loaded(root_ / "r/p");
  EXPECT_EQ(config.against, "main");
  EXPECT_EQ(config.max_window_expansion_days, 16);

  write("r/tarn.yml", "---\n");
  const EffectiveSettings defaults = settings(loaded(root_ / "r/p"));
  EXPECT_EQ(defaults.against, "master");
  EXPECT_EQ(defaults.dbt_command, "dbt");
  EXPECT_EQ(defaults.dbt_args, Words{});
  EXPECT_EQ(defaults.max_window_expansion_days, 90);
}

TEST_F(ProjectConfigTest, NoFileAnywhereIsSuccessWithNothingSet) {
  dir("r/.git");
  dir("r/p");
  const LayeredConfig config = loaded(root_ / "r/p");
  EXPECT_FALSE(config.against || config.dbt_command || config.dbt_args ||
               config.max_window_expansion_days);
  EXPECT_FALSE(loaded(root_ / "does/not/exist").against);
}

TEST_F(ProjectConfigTest, ParseFailuresNameTheFileAsJoined) {
  write("tarn.yml", "against: a\nagainst: b\n");
  enter("");
  const ProjectConfigError error = load_failure(".");
  EXPECT_EQ(error.path, "./tarn.yml");
  EXPECT_EQ(error.message(), "./tarn.yml: duplicate field `against` at line 2 column 1");

  write("a/b/tarn.yml", "dbt-plan:\n  max-window-expansion-days: 1.5\n");
  EXPECT_EQ(load_failure("a/b").message(),
            "a/b/tarn.yml: invalid type: floating point `1.5`, expected i64 at line 2 column 30");
}

TEST_F(ProjectConfigTest, TheFirstBrokenFileStopsTheLoad) {
  dir("r/.git");
  write("r/tarn.yml", "against: [broken]\n");
  write("r/p/tarn.yml", "against: {also: broken}\n");
  const ProjectConfigError error = load_failure(root_ / "r/p");
  EXPECT_EQ(error.path, (root_ / "r/tarn.yml").string());
  EXPECT_THAT(error.detail, StartsWith("invalid type: sequence"));
}

TEST_F(ProjectConfigTest, ADirectoryNamedTarnYmlIsAReadFailure) {
  dir("p/tarn.yml");
  enter("");
  const ProjectConfigError error = load_failure("p");
  EXPECT_EQ(error.path, "p/tarn.yml");
  EXPECT_EQ(error.message(), "p/tarn.yml: Is a directory (os error 21)");
}

TEST_F(ProjectConfigTest, BytesThatAreNotUtf8AreAReadFailure) {
  write("p/tarn.yml", "against: caf\xE9\n");
  enter("p");
  const ProjectConfigError error = load_failure(".");
  EXPECT_EQ(error.message(), "./tarn.yml: stream did not contain valid UTF-8");
}

TEST_F(ProjectConfigTest, SymlinksToFilesAreFollowedAndDanglingOnesSkipped) {
  write("shared.yml", "against: shared\n");
  dir("p");
  fs::create_symlink(root_ / "shared.yml", root_ / "p/tarn.yml");
  EXPECT_EQ(loaded(root_ / "p").against, "shared");

  dir("q");
  fs::create_symlink(root_ / "missing.yml", root_ / "q/tarn.yml");
  EXPECT_EQ(loaded(root_ / "q").against, std::nullopt);
}

TEST(ResolveSettings, OptionsWinOverTheFileEvenWhenEmpty) {
  const LayeredConfig config{"main", "uv run dbt", "--target ci", 30, {}};
  const EffectiveSettings from_file = settings(config);
  EXPECT_EQ(from_file.against, "main");
  EXPECT_EQ(from_file.dbt_command, "uv run dbt");  // passed on unsplit
  EXPECT_EQ(from_file.dbt_args, (Words{"--target", "ci"}));
  EXPECT_EQ(from_file.max_window_expansion_days, 30);

  const EffectiveSettings from_options = settings(config, {"", "", "develop"});
  EXPECT_EQ(from_options.dbt_command, "");
  EXPECT_EQ(from_options.dbt_args, Words{});
  EXPECT_EQ(from_options.against, "develop");
  EXPECT_EQ(settings(config, {std::nullopt, "--vars 'a: 1'", std::nullopt}).dbt_args,
            (Words{"--vars", "a: 1"}));
}

TEST(ResolveSettings, SplitFailuresNameTheirSource) {
  const LayeredConfig broken_file{std::nullopt, std::nullopt, "--vars '{a: 1}", std::nullopt, {}};
  auto from_file = resolve_settings({}, broken_file);
  ASSERT_FALSE(from_file.has_value());
  EXPECT_EQ(from_file.error(), "tarn.yml dbt-args: missing closing quote");

  auto from_option = resolve_settings({std::nullopt, "\"open", std::nullopt}, LayeredConfig{});
  ASSERT_FALSE(from_option.has_value());
  EXPECT_EQ(from_option.error(), "--dbt-args: missing closing quote");

  // The file's value is not split at all when the option replaces it.
  EXPECT_EQ(settings(broken_file, {std::nullopt, "--target ci", std::nullopt}).dbt_args,
            (Words{"--target", "ci"}));
}

}  // namespace
}  // namespace tarn
