#include "manifest/manifest_text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tarn::manifest_text {
namespace {

std::size_t page_size() {
  static const auto bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

std::size_t round_up_to_pages(std::size_t n) {
  return (n + page_size() - 1) / page_size() * page_size();
}

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
    std::uintptr_t page = at & ~(std::uintptr_t{page_size()} - 1);
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

void Text::Unmap::operator()(char* memory) const {
  ::munmap(memory, capacity);
}

std::expected<Text, int> Text::padded(std::size_t size) {
  std::size_t capacity = round_up_to_pages(size + simdjson::SIMDJSON_PADDING);
  void* memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) {
    return std::unexpected(errno);
  }
  return Text(memory, size, capacity);
}

std::expected<Text, int> Text::load(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd.is_open() || ::fstat(fd.get(), &info) != 0) {
    return std::unexpected(errno);
  }
  // The file over the start of the zeroed region, whose padding past the
  // file's last page is then ordinary memory. Files that report no size
  // (those under /proc, for one) and file systems that cannot map are read.
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    auto text = padded(static_cast<std::size_t>(info.st_size));
    if (text && ::mmap(text->memory_.get(), text->size_, PROT_READ, MAP_PRIVATE | MAP_FIXED,
                       fd.get(), 0) != MAP_FAILED) {
      text->fd_ = std::move(fd);
      text->mapped_mtime_ = info.st_mtim;
      return text;
    }
  }
  auto content = read_to_end(fd.get());
  if (!content) {
    return std::unexpected(content.error());
  }
  auto text = padded(content->size());
  if (text) {
    std::memcpy(text->memory_.get(), content->data(), content->size());
  }
  return text;
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
  auto begin = reinterpret_cast<std::uintptr_t>(text.data());
  guarded_begin.store(begin);
  guarded_end.store(begin + round_up_to_pages(text.size()));
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
