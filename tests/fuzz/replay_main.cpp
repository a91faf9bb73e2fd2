// Runs a fuzz target without libFuzzer over every file below the directories named on the
// command line, in path order: the replay of the seed corpus and of every input that once crashed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code missing;  // a directory that does not exist holds nothing
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i], missing)) {
      if (entry.is_regular_file()) {
        files.push_back(entry.path());
      }
    }
  }
  std::ranges::sort(files);
  for (const auto& file : files) {
    std::fprintf(stderr, "replaying %s\n", file.c_str());
    const std::string bytes =
        (std::ostringstream() << std::ifstream(file, std::ios::binary).rdbuf()).str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  return files.empty() ? 1 : 0;
}
