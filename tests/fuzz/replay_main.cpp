// Runs a fuzz target without libFuzzer over every file below the directories named on the
// command line, in path order: the replay of the seed corpus and of every input that once crashed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>

#include "../unit/support/scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
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
