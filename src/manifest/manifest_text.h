#pragma once
// The manifest's bytes in memory, followed by the zeroed padding simdjson
// reads past the end. A regular file is mapped rather than read: copying a
// few hundred megabytes into fresh memory costs a page fault and a zeroed
// page every 4 KiB, several times the parse itself on virtual machines,
// while the mapping shares the page cache's copy.
//
// dbt rewrites manifest.json in place, truncating it first. A mapping whose
// file is truncated under it would end the program with SIGBUS on the next
// read; `TruncationGuard` turns that into zeros read and a file reported as
// changed, so the run fails with a message like any other torn read.

#include <simdjson.h>
#include <sys/stat.h>

#include <cstddef>
#include <ctime>
#include <expected>
#include <filesystem>

#include "util/fd.h"

namespace tarn::manifest_text {

class Text {
 public:
  /// The file's content, or the errno of the failed open, stat or read.
  static std::expected<Text, int> load(const std::filesystem::path& path);

  Text(Text&& other) noexcept;
  Text& operator=(Text&&) = delete;
  ~Text();

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool mapped() const { return fd_.is_open(); }
  simdjson::padded_string_view view() const {
    return simdjson::padded_string_view(data_, size_, capacity_);
  }

  /// True when the mapped file no longer has the size and modification time
  /// it had when mapped, or a `TruncationGuard` caught a read past its end:
  /// the bytes seen may mix two versions of the file. Always false for
  /// content that was read (it cannot change under the reader).
  bool changed() const;

 private:
  friend class TruncationGuard;
  Text(char* data, std::size_t size, std::size_t capacity) noexcept
      : data_(data), size_(size), capacity_(capacity) {}

  static std::expected<Text, int> map(int fd, const struct stat& info);
  static std::expected<Text, int> read(int fd);

  char* data_;
  std::size_t size_;
  std::size_t capacity_;  // the whole region, padding included
  UniqueFd fd_;           // open while mapped, to stat the file again
  timespec mapped_mtime_{};
  bool truncated_ = false;
};

/// While alive, a read from the mapped text's pages that its file no longer
/// has reads zeros instead of raising SIGBUS, and marks the text changed.
/// One guard at a time; a guard over read (unmapped) text does nothing.
class TruncationGuard {
 public:
  explicit TruncationGuard(Text& text);
  TruncationGuard(const TruncationGuard&) = delete;
  TruncationGuard& operator=(const TruncationGuard&) = delete;
  ~TruncationGuard();

 private:
  Text& text_;
  bool installed_ = false;
};

}  // namespace tarn::manifest_text
