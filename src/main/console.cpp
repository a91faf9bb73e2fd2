#include "main/console.h"

#include <unistd.h>
#include <cerrno>

namespace tarn {
namespace {

/// Writes all of text to fd; returns 0 or the error number.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (written == 0) {
      return EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace

void Console::out(std::string_view text) {
  int failure = write_all(STDOUT_FILENO, text);
  if (failure != 0 && out_errno_ == 0) {
    out_errno_ = failure;
  }
}

void Console::err(std::string_view text) {
  // Nothing can be reported about a failing standard error.
  (void)write_all(STDERR_FILENO, text);
}

}  // namespace tarn
