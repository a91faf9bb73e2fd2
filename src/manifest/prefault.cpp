#include "manifest/prefault.h"

#include "manifest/pages.h"
#include "util/quiet_thread.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

// Linux 5.14; older kernels refuse them with EINVAL.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace tarn::prefault {
namespace {

/// simdjson's chosen implementation with parser creation observed: the
/// created internals hold the structural index as a public member.
class ObservingImplementation final : public simdjson::implementation {
 public:
  ObservingImplementation(const simdjson::implementation& chosen, AllocatedIndex& index)
      : simdjson::implementation(chosen.name(), chosen.description(),
                                 chosen.required_instruction_sets()),
        chosen_(chosen),
        index_(index) {}

  simdjson::error_code create_dom_parser_implementation(
      std::size_t capacity, std::size_t max_depth,
      std::unique_ptr<simdjson::internal::dom_parser_implementation>& dst) const noexcept override {
    simdjson::error_code error = chosen_.create_dom_parser_implementation(capacity, max_depth, dst);
    if (error == simdjson::SUCCESS && dst) {
      // simdjson sizes the index at one entry per byte plus three.
      index_.begin = dst->structural_indexes.get();
      index_.bytes = (capacity + 3) * sizeof(std::uint32_t);
    }
    return error;
  }
  simdjson::error_code minify(const std::uint8_t* buf, std::size_t len, std::uint8_t* dst,
                              std::size_t& dst_len) const noexcept override {
    return chosen_.minify(buf, len, dst, dst_len);
  }
  bool validate_utf8(const char* buf, std::size_t len) const noexcept override {
    return chosen_.validate_utf8(buf, len);
  }

 private:
  const simdjson::implementation& chosen_;
  AllocatedIndex& index_;
};

/// The whole pages inside a range.
struct PageRange {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;

  bool empty() const { return end <= first; }
  std::uintptr_t size() const { return empty() ? 0 : end - first; }

  /// Populates the range up to its `done`-th of `steps` parts, going on from
  /// where the previous call stopped. False when the kernel refuses.
  bool populate_share(std::uintptr_t done, std::uintptr_t steps, int advice) const {
    if (empty()) {
      return true;
    }
    const std::uintptr_t from = share_end(done - 1, steps);
    const std::uintptr_t to = share_end(done, steps);
    return to <= from || ::madvise(reinterpret_cast<void*>(from), to - from, advice) == 0;
  }

 private:
  std::uintptr_t share_end(std::uintptr_t done, std::uintptr_t steps) const {
    // At most a few tens of gigabytes times a few thousand steps: no overflow.
    const std::uintptr_t bytes = size() * done / steps;
    return std::min(end, (first + bytes) & ~(pages::size() - 1));
  }
};

PageRange whole_pages(const Range& range) {
  if (range.begin == nullptr || range.bytes == 0) {
    return {};
  }
  const auto begin = reinterpret_cast<std::uintptr_t>(range.begin);
  const std::uintptr_t first = (begin + pages::size() - 1) & ~(pages::size() - 1);
  const std::uintptr_t end = (begin + range.bytes) & ~(pages::size() - 1);
  return end > first ? PageRange{first, end} : PageRange{};
}

}  // namespace

simdjson::error_code allocate(simdjson::ondemand::parser& parser, std::size_t capacity,
                              AllocatedIndex& index) {
  auto& active = simdjson::get_active_implementation();
  // Asking for the name settles simdjson's choice of implementation for this
  // processor, which it otherwise makes on first use.
  (void)active->name();
  const simdjson::implementation* chosen = active;
  ObservingImplementation observing(*chosen, index);
  active = &observing;
  simdjson::error_code error = parser.allocate(capacity);
  active = chosen;
  return error;
}

Prefault::Prefault(Range text, Range index) {
  const PageRange text_pages = whole_pages(text);
  const PageRange index_pages = whole_pages(index);
  if (text_pages.empty() && index_pages.empty()) {
    return;
  }
  helper_ = start_quiet_thread([text_pages, index_pages](std::stop_token stop) {
    constexpr std::uintptr_t step = std::uintptr_t{2} << 20;
    const PageRange& lead = text_pages.empty() ? index_pages : text_pages;
    const std::uintptr_t steps = (lead.size() + step - 1) / step;
    for (std::uintptr_t done = 1; done <= steps && !stop.stop_requested(); ++done) {
      // Up to where the reader will be once it has read `done` steps.
      if (!text_pages.populate_share(done, steps, MADV_POPULATE_READ) ||
          !index_pages.populate_share(done, steps, MADV_POPULATE_WRITE)) {
        return;  // not supported here, or memory is short: the reader copes alone
      }
    }
  });
}

std::size_t expected_index_bytes(std::size_t text_size) {
  return text_size / 9 * sizeof(std::uint32_t);
}

}  // namespace tarn::prefault
