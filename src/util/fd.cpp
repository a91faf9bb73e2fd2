#include "util/fd.h"

#include <unistd.h>

#include <algorithm>
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
    content.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got == 0) {
      return content;
    }
    if (got < 0 && errno != EINTR) {
      return std::unexpected(errno);
    }
  }
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written < 0 ? errno : -1;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace tarn
