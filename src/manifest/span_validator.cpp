#include "manifest/span_validator.h"

#include <utility>

#include "manifest/strict_json.h"
#include "util/quiet_thread.h"

namespace tarn::strict_json {
namespace {

namespace od = simdjson::ondemand;

/// Spans go to the helper in batches, so that the lock is taken rarely.
constexpr std::size_t batch_spans = 256;
constexpr std::size_t batch_bytes = std::size_t{1} << 20;

}  // namespace

SpanValidator::SpanValidator(const char* document_end) : document_end_(document_end) {
  worker_ = start_quiet_thread([this](std::stop_token stop) { work(stop); });
}

SpanValidator::~SpanValidator() {
  worker_.request_stop();
  ready_.notify_all();
}

void SpanValidator::submit(std::string_view span, int depth) {
  filling_.push_back(Span{span, depth});
  filling_bytes_ += span.size();
  pending_bytes_.fetch_add(span.size(), std::memory_order_relaxed);
  if (filling_.size() >= batch_spans || filling_bytes_ >= batch_bytes) {
    hand_over();
  }
}

void SpanValidator::hand_over() {
  if (filling_.empty()) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(filling_));
  }
  ready_.notify_one();
  filling_ = Batch();
  filling_bytes_ = 0;
}

bool SpanValidator::finish() {
  hand_over();
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_one();
  worker_.join();
  return !failed_.load();
}

void SpanValidator::work(std::stop_token stop) {
  od::parser parser;
  for (;;) {
    Batch batch;
    {
      std::unique_lock lock(mutex_);
      if (!ready_.wait(lock, stop, [this] { return !queue_.empty() || closed_; })) {
        return;  // stopped
      }
      if (queue_.empty()) {
        return;  // closed and drained
      }
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    for (const Span& span : batch) {
      if (failed_.load(std::memory_order_relaxed) || stop.stop_requested()) {
        break;
      }
      bool valid = false;
      try {
        valid = check(parser, span);
      } catch (...) {
        // Out of memory while describing a fault: a failure all the same,
        // and the one-thread walk will say what it is.
      }
      if (!valid) {
        failed_.store(true);
      }
      pending_bytes_.fetch_sub(span.text.size(), std::memory_order_relaxed);
    }
  }
}

bool SpanValidator::check(od::parser& parser, const Span& span) const {
  const auto capacity = static_cast<std::size_t>(document_end_ - span.text.data());
  od::document document;
  if (parser.iterate(simdjson::padded_string_view(span.text.data(), span.text.size(), capacity))
          .get(document) != simdjson::SUCCESS) {
    return false;
  }
  Reader reader(span.text);
  reader.attach(document);
  od::value root;
  if (document.get_value().get(root) != simdjson::SUCCESS || !reader.skip(root, span.depth)) {
    return false;
  }
  // Nothing may follow the value inside its span: at the end there is no
  // current location.
  return document.current_location().error() != simdjson::SUCCESS;
}

}  // namespace tarn::strict_json
