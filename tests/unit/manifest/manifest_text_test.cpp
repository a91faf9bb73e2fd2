// The manifest's bytes in memory: a mapped regular file with readable zero
// padding, and a file truncated or rewritten while it is read.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "manifest/manifest_text.h"
#include "unit/support/scratch_dir.h"

namespace tarn::manifest_text {
namespace {

namespace fs = std::filesystem;

class ManifestText : public ::testing::Test {
 protected:
  fs::path write(std::string_view bytes) {
    fs::path path = scratch_ / "manifest.json";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }

  testing::ScratchDir scratch_;
};

/// Reads every byte the way the parser does, so that a page the file no
/// longer has is touched.
unsigned checksum(const Text& text) {
  unsigned sum = 0;
  const volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) {
    sum += static_cast<unsigned char>(bytes[i]);
  }
  return sum;
}

TEST_F(ManifestText, MapsARegularFileFollowedByZeroPadding) {
  std::string content(3 * 4096 + 100, 'x');
  auto text = Text::load(write(content));
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->mapped());
  EXPECT_EQ(std::string_view(text->data(), text->size()), content);
  auto view = text->view();
  ASSERT_GE(view.capacity(), content.size() + simdjson::SIMDJSON_PADDING);
  for (std::size_t i = content.size(); i < content.size() + simdjson::SIMDJSON_PADDING; ++i) {
    ASSERT_EQ(text->data()[i], 0) << i;
  }
  EXPECT_FALSE(text->changed());
}

TEST_F(ManifestText, PaddingIsReadableWhenTheFileFillsWholePages) {
  std::string content(2 * 4096, '{');
  auto text = Text::load(write(content));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->data()[content.size() + simdjson::SIMDJSON_PADDING - 1], 0);
}

TEST_F(ManifestText, EmptyFileIsReadNotMapped) {
  auto text = Text::load(write(""));
  ASSERT_TRUE(text);
  EXPECT_FALSE(text->mapped());
  EXPECT_EQ(text->size(), 0u);
  EXPECT_FALSE(text->changed());
}

TEST_F(ManifestText, MissingFileGivesTheErrorNumber) {
  auto text = Text::load(scratch_ / "absent.json");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error(), ENOENT);
}

TEST_F(ManifestText, TruncationUnderTheMappingReadsZerosAndCountsAsChanged) {
  fs::path path = write(std::string(5 * 4096, 'a'));
  auto text = Text::load(path);
  ASSERT_TRUE(text);
  ASSERT_TRUE(text->mapped());
  unsigned sum = 0;
  {
    TruncationGuard guard(*text);
    fs::resize_file(path, 10);
    sum = checksum(*text);
  }
  EXPECT_EQ(sum, 10u * 'a');
  EXPECT_TRUE(text->changed());
}

TEST_F(ManifestText, RewriteWithAnotherSizeCountsAsChanged) {
  fs::path path = write("{\"nodes\": {}}");
  auto text = Text::load(path);
  ASSERT_TRUE(text);
  {
    TruncationGuard guard(*text);
    EXPECT_GT(checksum(*text), 0u);
  }
  EXPECT_FALSE(text->changed());
  write("{\"nodes\": {}, \"sources\": {}}");
  EXPECT_TRUE(text->changed());
}

TEST_F(ManifestText, TouchedFileCountsAsChanged) {
  fs::path path = write("{}");
  auto text = Text::load(path);
  ASSERT_TRUE(text);
  fs::last_write_time(path, fs::last_write_time(path) - std::chrono::seconds(5));
  EXPECT_TRUE(text->changed());
}

TEST_F(ManifestText, GuardRestoresTheEarlierHandler) {
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGBUS, nullptr, &before), 0);
  auto text = Text::load(write("{}"));
  ASSERT_TRUE(text);
  { TruncationGuard guard(*text); }
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGBUS, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace tarn::manifest_text
