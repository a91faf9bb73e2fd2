#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "output/write_atomically.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

using testing::read_file;

class WriteAtomically : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = ::umask(022); }
  void TearDown() override { ::umask(old_umask_); }

  /// Every ".tmp" file left anywhere below the scratch directory.
  std::vector<std::string> leftover_temp_files() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      if (entry.path().filename().string().starts_with(".tmp")) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  testing::ScratchDir dir_;
  mode_t old_umask_ = 0;
};

TEST_F(WriteAtomically, ReplacesAnExistingFileWithTheModeTheUmaskLeaves) {
  const fs::path target = dir_ / "plan.json";
  std::ofstream(target) << "old contents that are longer";
  ::chmod(target.c_str(), 0600);
  ::umask(027);

  ASSERT_TRUE(write_atomically(target, "new"));

  EXPECT_EQ(read_file(target), "new");
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(WriteAtomically, BareFileNameLandsInTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  const auto result = write_atomically("plan.json", std::string(100000, 'x'));
  fs::current_path(previous);

  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(read_file(dir_ / "plan.json"), std::string(100000, 'x'));
  EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(WriteAtomically, CreatesTheMissingDirectoryChain) {
  const fs::path target = dir_ / "target" / "tarn" / "deeper" / "dbt_plan.json";
  ASSERT_TRUE(write_atomically(target, ""));
  EXPECT_TRUE(fs::is_regular_file(target));
  EXPECT_EQ(read_file(target), "");
}

TEST(WriteAtomicallyPaths, RootAndEmptyPathHaveNoParent) {
  EXPECT_EQ(write_atomically("/", "x").error(), R"("/" has no parent directory)");
  EXPECT_EQ(write_atomically("", "x").error(), R"("" has no parent directory)");
}

TEST_F(WriteAtomically, ParentThatIsAFileCannotBeCreated) {
  std::ofstream(dir_ / "file") << "in the way";
  const auto result = write_atomically(dir_ / "file" / "plan.json", "x");
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error(), StartsWith("could not create " + (dir_ / "file").string() + ": "));
  EXPECT_EQ(read_file(dir_ / "file"), "in the way");
}

TEST(WriteAtomicallyPaths, DirectoryRefusingNewFilesKeepsTheOldFile) {
  // No process, root included, may create files directly under /proc.
  const std::string before = read_file("/proc/version");
  ASSERT_FALSE(before.empty());
  const auto result = write_atomically("/proc/version", "x");
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error(), StartsWith("could not create a temp file in /proc: "));
  EXPECT_EQ(read_file("/proc/version"), before);
}

TEST_F(WriteAtomically, ReadOnlyDirectoryKeepsTheOldFileAndLeavesNoTemp) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root ignores directory permissions; /proc covers this case for root";
  }
  const fs::path target = dir_ / "plan.json";
  std::ofstream(target) << "old";
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const auto result = write_atomically(target, "new");
  fs::permissions(dir_.path(), fs::perms::owner_all);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            "could not create a temp file in " + dir_.path().string() + ": Permission denied");
  EXPECT_EQ(read_file(target), "old");
  EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(WriteAtomically, TargetThatIsADirectoryFailsAtRenameWithoutLeftovers) {
  const fs::path target = dir_ / "taken";
  fs::create_directory(target);
  std::ofstream(target / "inside") << "kept";
  const auto result = write_atomically(target, "x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "could not write " + target.string() + ": Is a directory");
  EXPECT_EQ(read_file(target / "inside"), "kept");
  EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(WriteAtomically, FileSizeLimitFailsTheWriteAndRemovesTheTemp) {
  const fs::path target = dir_ / "plan.json";
  std::ofstream(target) << "old";
  // The program ignores SIGXFSZ, so the limit shows as a failing write.
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit small = previous;
  small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto result = write_atomically(target, std::string(100, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previous_handler);

  ASSERT_FALSE(result);
  EXPECT_THAT(result.error(),
              MatchesRegex("could not write " + target.string() + ": File too large at path \"" +
                           dir_.path().string() + "/\\.tmp[A-Za-z0-9]{6}\""));
  EXPECT_EQ(read_file(target), "old");
  EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

}  // namespace
}  // namespace tarn
