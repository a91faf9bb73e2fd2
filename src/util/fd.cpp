#include "util/fd.h"

#include <unistd.h>

#include <cerrno>

namespace tarn {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

std::expected<std::string, int> read_to_end(int fd) {
  constexpr std::size_t chunk = 1 << 16;
  std::string content;
  for (;;) {
    const std::size_t old_size = content.size();
    content.resize(old_size + chunk);
    const ssize_t got = ::read(fd, content.data() + old_size, chunk);
    if (got < 0 && errno == EINTR) {
      content.resize(old_size);
      continue;
    }
    if (got < 0) {
      return std::unexpected(errno);
    }
    content.resize(old_size + static_cast<std::size_t>(got));
    if (got == 0) {
      return content;
    }
  }
}

}  // namespace tarn
