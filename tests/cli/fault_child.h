#pragma once
// Starts the program as a child process with faults arranged around it: a
// file-size limit, a standard output whose reader is gone, a standard error
// on /dev/full. Reports how it ended and its peak memory.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarn::cli_test {

enum class Stream {
  capture,      // into a file the test reads afterwards
  closed_pipe,  // a pipe whose read end is already closed, like `| head -c0`
  dev_full,     // every write fails with ENOSPC
};

struct ChildSetup {
  std::optional<rlim_t> file_size_limit;
  Stream stdout_to = Stream::capture;
  Stream stderr_to = Stream::capture;
  std::chrono::seconds deadline{300};
};

inline ChildSetup with_streams(Stream out, Stream err) {
  ChildSetup setup;
  setup.stdout_to = out;
  setup.stderr_to = err;
  return setup;
}

inline ChildSetup with_file_size_limit(rlim_t bytes) {
  ChildSetup setup;
  setup.file_size_limit = bytes;
  return setup;
}

inline ChildSetup with_deadline(std::chrono::seconds deadline) {
  ChildSetup setup;
  setup.deadline = deadline;
  return setup;
}

struct ChildResult {
  int status = -1;  // the exit status, -1 when killed by a signal
  int signal = 0;   // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
  long peak_rss_kb = 0;
  double seconds = 0;
  bool timed_out = false;
};

namespace fault_detail {

inline std::string slurp_and_remove(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return buffer.str();
}

inline std::filesystem::path capture_file() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarn-fault-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  ::close(fd);
  return pattern;
}

/// Opens what the child's descriptor should be; -1 for a failure.
inline int open_stream(Stream stream, const std::filesystem::path& capture) {
  switch (stream) {
    case Stream::capture:
      return ::open(capture.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    case Stream::dev_full:
      return ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    case Stream::closed_pipe: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
      }
      ::close(ends[0]);
      return ends[1];
    }
  }
  return -1;
}

struct Started {
  pid_t pid = -1;
  std::filesystem::path out_file;
  std::filesystem::path err_file;
  std::chrono::steady_clock::time_point began;
};

/// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] inline void become(const std::vector<char*>& argv, const char* cwd, int out_fd,
                                int err_fd, const ChildSetup& setup) {
  // A test runner may ignore these; the program must set them up itself.
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(SIGXFSZ, SIG_DFL);
  const int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
      ::chdir(cwd) != 0) {
    ::_exit(125);
  }
  if (setup.file_size_limit) {
    const rlimit limit{*setup.file_size_limit, *setup.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      ::_exit(125);
    }
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

inline Started start(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const ChildSetup& setup) {
  Started started;
  started.out_file = capture_file();
  started.err_file = capture_file();
  const int out_fd = open_stream(setup.stdout_to, started.out_file);
  const int err_fd = open_stream(setup.stderr_to, started.err_file);
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const std::string directory = cwd.string();
  started.began = std::chrono::steady_clock::now();
  started.pid = ::fork();
  if (started.pid == 0) {
    become(argv, directory.c_str(), out_fd, err_fd, setup);
  }
  ::close(out_fd);
  ::close(err_fd);
  return started;
}

inline ChildResult finish(const Started& started, std::chrono::seconds deadline) {
  ChildResult result;
  int status = 0;
  rusage usage{};
  const auto limit = started.began + deadline;
  while (::wait4(started.pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > limit) {
      ::kill(started.pid, SIGKILL);
      ::wait4(started.pid, &status, 0, &usage);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started.began).count();
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  result.peak_rss_kb = usage.ru_maxrss;
  result.out = slurp_and_remove(started.out_file);
  result.err = slurp_and_remove(started.err_file);
  return result;
}

}  // namespace fault_detail

inline ChildResult run_child(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                             const ChildSetup& setup = {}) {
  return fault_detail::finish(fault_detail::start(args, cwd, setup), setup.deadline);
}

/// Starts every command before waiting for any of them.
inline std::vector<ChildResult> run_children_together(
    const std::vector<std::vector<std::string>>& commands, const std::filesystem::path& cwd) {
  std::vector<fault_detail::Started> started;
  for (const auto& command : commands) {
    started.push_back(fault_detail::start(command, cwd, ChildSetup{}));
  }
  std::vector<ChildResult> results;
  for (const auto& child : started) {
    results.push_back(fault_detail::finish(child, ChildSetup{}.deadline));
  }
  return results;
}

}  // namespace tarn::cli_test
