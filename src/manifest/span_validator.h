#pragma once
// Checking parts of a large manifest on a second core while the reader
// goes on with the rest.
//
// The reader keeps only a few keys of each node, and checking every other
// value against the JSON grammar costs about as much as the navigation
// itself. For a large manifest the reader therefore hands each node's text
// (and each unknown top-level member's) to a helper thread, which parses
// that text on its own and walks it with the same strict checks, and steps
// over the unknown values itself without looking at them. Any failure on
// either side sends the caller back to the one-thread walk, which finds the
// first fault in the document and reports it with its line and column.

#include <simdjson.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace tarn::strict_json {

class SpanValidator {
 public:
  /// `document_end` is where the padded text's memory ends: every span lies
  /// in that memory, so simdjson may read the padding it needs after a span.
  explicit SpanValidator(const char* document_end);
  SpanValidator(const SpanValidator&) = delete;
  SpanValidator& operator=(const SpanValidator&) = delete;
  ~SpanValidator();

  /// Queues one complete JSON value (an object or an array, blanks after it
  /// allowed) at the given nesting level of the whole document.
  void submit(std::string_view span, int depth);

  /// Whether the helper has more waiting than it can check soon. The reader
  /// then checks the next entry itself, so that neither thread idles.
  bool busy() const { return pending_bytes_.load(std::memory_order_relaxed) > busy_bytes; }

  /// Waits until every queued span is checked; true when all were valid.
  bool finish();

 private:
  struct Span {
    std::string_view text;
    int depth = 0;
  };
  using Batch = std::vector<Span>;

  void hand_over();
  void work(std::stop_token stop);
  bool check(simdjson::ondemand::parser& parser, const Span& span) const;

  static constexpr std::size_t busy_bytes = std::size_t{4} << 20;

  const char* document_end_;
  Batch filling_;
  std::size_t filling_bytes_ = 0;
  std::mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<Batch> queue_;
  bool closed_ = false;
  std::atomic<bool> failed_{false};
  std::atomic<std::size_t> pending_bytes_{0};
  std::jthread worker_;  // last: it must stop before the members it uses go
};

}  // namespace tarn::strict_json
