#pragma once
// Child processes: started from an argument vector (never a shell), in a
// working directory, with the environment inherited, standard input empty and
// both output streams captured in full.

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace tarn {

struct ProcessResult {
  bool exited = true;  // false when ended by a signal
  int exit_code = 0;   // meaningful when exited
  int signal = 0;      // meaningful when !exited
  std::string out;     // raw bytes
  std::string err;     // raw bytes
  bool success() const { return exited && exit_code == 0; }
};

/// Runs argv[0] (looked up on PATH) with the rest as arguments and waits for
/// it. An empty working directory means the current one. Fails only when the
/// process cannot be started, with the system's error text.
std::expected<ProcessResult, std::string> run_process(const std::vector<std::string>& argv,
                                                      const std::filesystem::path& working_dir);

}  // namespace tarn
