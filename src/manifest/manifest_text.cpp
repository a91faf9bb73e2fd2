#include "manifest/manifest_text.h"

#include "manifest/pages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace tarn::manifest_text {
namespace {

// The one guarded mapping, read by the SIGBUS handler: the file's pages are
// [begin, end).
std::atomic<std::uintptr_t> guarded_begin{0};
std::atomic<std::uintptr_t> guarded_end{0};
volatile std::sig_atomic_t guarded_fault = 0;
struct sigaction earlier_action {};

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

/// A read past the end of a truncated file: the rest of the mapping becomes
/// zero pages and the instruction runs again. Any other SIGBUS goes back to
/// the disposition in force before the guard.
void on_bus_error(int signal, siginfo_t* info, void*) {
  auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  std::uintptr_t begin = guarded_begin.load(std::memory_order_relaxed);
  std::uintptr_t end = guarded_end.load(std::memory_order_relaxed);
  bool from_fault = info->si_code > 0;
  if (from_fault && at >= begin && at < end) {
    std::uintptr_t page = at & ~(std::uintptr_t{pages::size()} - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      guarded_fault = 1;
      return;
    }
  }
  ::sigaction(SIGBUS, &earlier_action, nullptr);
  if (!from_fault) {
    ::raise(signal);
  }
}

}  // namespace

std::expected<Text, int> Text::load(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    return std::unexpected(errno);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return std::unexpected(errno);
  }
  // Files that report no size (those under /proc, for one) and file systems
  // that cannot map are read instead.
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    if (auto text = map(fd.get(), info)) {
      text->fd_ = std::move(fd);
      return text;
    }
  }
  return read(fd.get());
}

std::expected<Text, int> Text::map(int fd, const struct stat& info) {
  auto size = static_cast<std::size_t>(info.st_size);
  std::size_t capacity = pages::round_up(size + simdjson::SIMDJSON_PADDING, pages::size());
  // Zero pages for the whole region first, then the file over its start: the
  // padding past the file's last page is then ordinary readable memory.
  void* region =
      ::mmap(nullptr, capacity, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    return std::unexpected(errno);
  }
  if (::mmap(region, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
    int error = errno;
    ::munmap(region, capacity);
    return std::unexpected(error);
  }
  Text text(static_cast<char*>(region), size, capacity);
  text.mapped_mtime_ = info.st_mtim;
  return text;
}

/// A file that cannot be mapped (a pipe, a file under /proc) is read whole,
/// then copied into memory that has simdjson's padding after it.
std::expected<Text, int> Text::read(int fd) {
  auto content = read_to_end(fd);
  if (!content) {
    return std::unexpected(content.error());
  }
  const std::size_t capacity =
      pages::round_up(content->size() + simdjson::SIMDJSON_PADDING, pages::size());
  void* memory =
      ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    return std::unexpected(errno);
  }
  std::memcpy(memory, content->data(), content->size());
  return Text(static_cast<char*>(memory), content->size(), capacity);
}

Text::Text(Text&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(other.size_),
      capacity_(other.capacity_),
      fd_(std::move(other.fd_)),
      mapped_mtime_(other.mapped_mtime_),
      truncated_(other.truncated_) {}

Text::~Text() {
  if (data_ != nullptr) {
    ::munmap(data_, capacity_);
  }
}

bool Text::changed() const {
  if (!mapped()) {
    return false;
  }
  struct stat now {};
  return truncated_ || ::fstat(fd_.get(), &now) != 0 ||
         static_cast<std::size_t>(now.st_size) != size_ ||
         now.st_mtim.tv_sec != mapped_mtime_.tv_sec || now.st_mtim.tv_nsec != mapped_mtime_.tv_nsec;
}

TruncationGuard::TruncationGuard(Text& text) : text_(text) {
  if (!text.mapped()) {
    return;
  }
  auto begin = reinterpret_cast<std::uintptr_t>(text.data_);
  guarded_begin.store(begin);
  guarded_end.store(begin + pages::round_up(text.size_, pages::size()));
  guarded_fault = 0;
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  installed_ = ::sigaction(SIGBUS, &action, &earlier_action) == 0;
}

TruncationGuard::~TruncationGuard() {
  if (!installed_) {
    return;
  }
  ::sigaction(SIGBUS, &earlier_action, nullptr);
  guarded_begin.store(0);
  guarded_end.store(0);
  if (guarded_fault != 0) {
    text_.truncated_ = true;
  }
}

}  // namespace tarn::manifest_text
