// Runs a fuzz target without libFuzzer over every file below the directories named on the
// command line, in path order: the replay of the seed corpus and of every input that once crashed.
// "--random N" runs it instead over N strings of 1,024 pseudo-random bytes, seeded 0 to N-1.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../unit/support/scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--random") {
    for (unsigned long seed = 0; seed < std::stoul(argv[2]); ++seed) {
      std::mt19937_64 rng(seed);
      std::vector<std::uint8_t> bytes(1024);
      std::ranges::generate(bytes, [&] { return static_cast<std::uint8_t>(rng()); });
      std::fprintf(stderr, "random input %lu\n", seed);
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
  }
  std::set<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code missing;  // a directory that does not exist holds nothing
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i], missing)) {
      if (entry.is_regular_file()) {
        files.insert(entry.path());
      }
    }
  }
  for (const auto& file : files) {
    std::fprintf(stderr, "replaying %s\n", file.c_str());
    const std::string bytes = tarn::testing::read_file(file);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  return files.empty() ? 1 : 0;
}
