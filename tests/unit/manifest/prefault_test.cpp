// Faulting simdjson's index in from a helper thread: where the index is,
// that the parser is left as it was, and that the pages do get populated.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "manifest/prefault.h"

namespace tarn::prefault {
namespace {

TEST(Prefault, AllocateFindsTheIndexAndLeavesSimdjsonAsItWas) {
  const simdjson::implementation* before = simdjson::get_active_implementation();
  simdjson::ondemand::parser parser;
  AllocatedIndex index;
  ASSERT_EQ(allocate(parser, 1000, index), simdjson::SUCCESS);
  EXPECT_NE(index.begin, nullptr);
  EXPECT_EQ(index.bytes, (1000u + 3) * 4);
  // Asking for the name may have settled a first-use choice; after that the
  // active implementation is whatever it was, not the observer.
  EXPECT_EQ(std::string(simdjson::get_active_implementation()->name()), before->name());
  EXPECT_EQ(parser.capacity(), 1000u);

  simdjson::padded_string json(std::string(R"({"a": [1, 2, 3]})"));
  simdjson::ondemand::document document;
  ASSERT_EQ(parser.iterate(json).get(document), simdjson::SUCCESS);
  std::int64_t second = 0;
  ASSERT_EQ(document["a"].at(1).get(second), simdjson::SUCCESS);
  EXPECT_EQ(second, 2);
}

/// Pages of [begin, begin + bytes) that are resident.
std::size_t resident_pages(void* begin, std::size_t bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> flags(bytes / page);
  EXPECT_EQ(::mincore(begin, bytes, flags.data()), 0);
  std::size_t resident = 0;
  for (unsigned char flag : flags) {
    resident += flag & 1;
  }
  return resident;
}

TEST(Prefault, PopulatesTheIndexRangeAndStopsThere) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t bytes = 64 * page;
  void* memory =
      ::mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  if (::madvise(memory, page, 23 /* MADV_POPULATE_WRITE */) != 0) {
    ::munmap(memory, 2 * bytes);
    GTEST_SKIP() << "the kernel cannot populate pages on request";
  }
  {
    Prefault helper(Range{}, Range{memory, bytes});
    // The helper is stopped when destroyed; wait for it while it lives.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (resident_pages(memory, bytes) < bytes / page &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(resident_pages(memory, bytes), bytes / page);
  EXPECT_EQ(resident_pages(static_cast<char*>(memory) + bytes, bytes), 0u);
  ::munmap(memory, 2 * bytes);
}

}  // namespace
}  // namespace tarn::prefault
