#pragma once
// Faulting simdjson's structural index in from a second thread while the
// indexing pass fills it.
//
// The index takes four bytes per token, tens of megabytes for a large
// manifest, and is fresh memory: on virtual machines the page faults and
// clearing of that memory cost about as much as the indexing itself. A
// helper thread asks the kernel to populate the pages ahead of the writer
// (MADV_POPULATE_WRITE, which leaves their contents alone), so the two
// costs overlap on two cores. The mapped manifest's own pages are mapped
// in the same way (MADV_POPULATE_READ) just ahead of the reader. Where the
// kernel lacks the advice, nothing happens and the indexing pass faults the
// pages in itself.

#include <simdjson.h>

#include <cstddef>
#include <thread>

namespace tarn::prefault {

/// Allocates the parser for `capacity` bytes of JSON and learns where
/// simdjson put its structural index. simdjson keeps that memory to itself;
/// it is seen by standing in, for this one call, for the implementation that
/// simdjson has chosen for the processor, which creates the parser's
/// internals, and passing everything else through.
struct AllocatedIndex {
  void* begin = nullptr;
  std::size_t bytes = 0;
};
simdjson::error_code allocate(simdjson::ondemand::parser& parser, std::size_t capacity,
                              AllocatedIndex& index);

/// A range of memory to fault in; empty when `begin` is null.
struct Range {
  const void* begin = nullptr;
  std::size_t bytes = 0;
};

/// Faults in the given ranges from a helper thread, in step with a reader
/// that goes through `text` from the start and fills `index` from the start
/// as it goes: each stretch of the text is followed by the same share of
/// the index. Stops when done, or when destroyed (which joins the thread).
class Prefault {
 public:
  Prefault(Range text, Range index);
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  ~Prefault() = default;

 private:
  std::jthread helper_;
};

/// How much of the index a text of `text_size` bytes is likely to use: a
/// token every nine bytes. dbt's own manifests hold one every nine to
/// thirteen bytes, the synthetic benchmark manifest one every nine. Pages
/// past what the pass uses would be populated in vain, and the pass faults
/// in whatever it needs beyond the guess itself.
std::size_t expected_index_bytes(std::size_t text_size);

}  // namespace tarn::prefault
