#include "output/write_atomically.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

/// What the target holds after the write under umask 027, or the message.
std::string written(const fs::path& target, const std::string& bytes = "new") {
  const mode_t previous = ::umask(027);
  const auto result = write_atomically(target, bytes);
  ::umask(previous);
  return result ? testing::read_file(target) : result.error();
}

// A write that fails half-way, and that it leaves no temporary file, are the command-line
// tests' (a file size limit).
TEST(WriteAtomically, ReplacesOrCreatesTheFileOrSaysWhyNot) {
  const testing::ScratchDir dir;
  const std::string at = dir.path.string();
  testing::write_file(dir / "plan.json", "old contents that are longer");
  ::chmod((dir / "plan.json").c_str(), 0600);
  EXPECT_EQ(written(dir / "plan.json"), "new");
  EXPECT_EQ(fs::status(dir / "plan.json").permissions(), fs::perms(0640));
  EXPECT_EQ(written(dir / "target/tarn/plan.json"), "new");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path);
  EXPECT_EQ(written("bare.json", std::string(100000, 'y')), std::string(100000, 'y'));
  fs::current_path(previous);
  testing::write_file(dir / "file", "in the way");
  fs::create_directories(dir / "taken/inside");
  EXPECT_EQ(written("/"), R"("/" has no parent directory)");
  EXPECT_EQ(written(dir / "file/plan.json"), "could not create " + at + "/file: Not a directory");
  EXPECT_EQ(written(dir / "taken"), "could not write " + at + "/taken: Is a directory");
  // No process, root included, may create files directly under /proc.
  EXPECT_THAT(written("/proc/version"),
              ::testing::StartsWith("could not create a temp file in /proc: "));
}

}  // namespace
}  // namespace tarn
