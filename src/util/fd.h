#pragma once
// File descriptors: an owner that closes, and reading or writing one to the end.

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace tarn {

/// A file descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

/// Everything from the descriptor's position to its end, reads interrupted
/// by a signal retried; the errno of a failed read.
std::expected<std::string, int> read_to_end(int fd);

/// Writes all of bytes, writes interrupted by a signal retried: 0, the errno
/// of a failed write, or -1 when a write took nothing.
int write_all(int fd, std::string_view bytes);

}  // namespace tarn
