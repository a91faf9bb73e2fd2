#pragma once
// The manifest's bytes in memory, followed by the zeroed padding simdjson
// reads past the end. A regular file is mapped rather than read: fresh memory
// costs a page fault and a zeroed page every 4 KiB, several times the parse
// itself on virtual machines, while the mapping shares the page cache's copy.
//
// dbt rewrites manifest.json in place, truncating it first, and a read from a
// mapping past its file's new end raises SIGBUS: `TruncationGuard` turns that
// into zeros read and a file reported as changed.

#include <simdjson.h>

#include <cstddef>
#include <ctime>
#include <expected>
#include <filesystem>
#include <memory>

#include "util/fd.h"

namespace tarn::manifest_text {

class Text {
 public:
  /// The file's content, or the errno of the failed open, stat, read or mapping.
  static std::expected<Text, int> load(const std::filesystem::path& path);

  const char* data() const { return memory_.get(); }
  std::size_t size() const { return size_; }
  bool mapped() const { return fd_.is_open(); }
  simdjson::padded_string_view view() const {
    return simdjson::padded_string_view(data(), size_, memory_.get_deleter().capacity);
  }

  /// True when the mapped file no longer has the size and modification time
  /// it had when mapped, or a `TruncationGuard` caught a read past its end:
  /// the bytes seen may mix two versions of the file. False for a file that
  /// was read, which cannot change under the reader.
  bool changed() const;

 private:
  friend class TruncationGuard;
  struct Unmap {
    std::size_t capacity;  // the whole region, padding included
    void operator()(char* memory) const;
  };
  Text(void* memory, std::size_t size, std::size_t capacity)
      : memory_(static_cast<char*>(memory), Unmap{capacity}), size_(size) {}

  /// Zeroed memory for `size` bytes and the padding.
  static std::expected<Text, int> padded(std::size_t size);

  std::unique_ptr<char, Unmap> memory_;
  std::size_t size_;
  UniqueFd fd_;  // open while mapped, to stat the file again
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
