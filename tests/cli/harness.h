#pragma once
// The program run as a user runs it: in a scratch dbt project, with a stand-in dbt, its own
// TMPDIR, and faults arranged around it (a closed standard output, a full standard error, a
// file-size limit, a signal while dbt runs).

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "unit/support/scratch_dir.h"

namespace tarn::cli_test {

namespace fs = std::filesystem;

enum class Stream { capture, closed_pipe, dev_full };

struct Io {
  Stream out = Stream::capture;
  Stream err = Stream::capture;
  rlim_t file_size = RLIM_INFINITY;
  int signal = 0;  // sent once the stand-in has touched bin/started
};

struct Ended {
  int status = -1;  // the exit status; -1 when a signal ended the program
  int signal = 0;
  std::string out, err;
};

// Logs "<directory>: <arguments>" per start, then sources bin/<subcommand>.sh if there is
// one; `ls` answers stg_events unless that script exits first.
constexpr const char* k_standin = R"sh(#!/bin/sh
here=$(dirname "$0")
echo "$(pwd -P): $*" >> "$here/calls.log"
if [ -f "$here/$1.sh" ]; then . "$here/$1.sh"; fi
if [ "$1" = ls ]; then echo stg_events; fi
)sh";

class Project {
 public:
  Project() {
    write("bin/dbt", k_standin);
    fs::permissions(root() / "bin/dbt", fs::perms::owner_all);
    write("proj/dbt_project.yml", "name: proj\nprofile: proj\n");
    fs::create_directories(root() / "tmp");
    ::setenv("TMPDIR", (root() / "tmp").c_str(), 1);  // inherited by the program
  }
  const fs::path& root() const { return scratch_.path(); }
  void write(const std::string& path, const std::string& text) const {
    testing::write_file(root() / path, text);
  }
  std::string read(const std::string& path) const { return testing::read_file(root() / path); }

  /// Sets target/manifest.json an hour newer (or older) than dbt_project.yml.
  void date_manifest(bool stale) const {
    const auto input = fs::last_write_time(root() / "proj/dbt_project.yml");
    fs::last_write_time(root() / "proj/target/manifest.json",
                        stale ? input - std::chrono::hours(1) : input + std::chrono::hours(1));
  }

  /// What differs from run to run (paths, times, yesterday) as fixed words.
  std::string normalized(std::string text) const {
    const std::time_t yesterday = std::time(nullptr) / 86400 * 86400 - 86400;
    char day[16];
    std::strftime(day, sizeof day, "%F", std::gmtime(&yesterday));
    for (const auto& [pattern, word] : std::vector<std::pair<std::string, std::string>>{
             {root().native(), "ROOT"},
             {R"(tarn-dbt-plan-state-\w{6}/worktree)", "BASELINE"},
             {R"(\.tmp\w{6})", ".tmpXXXXXX"},
             {R"(dbt_plan_\d{14}\.html)", "dbt_plan_TIME.html"},
             {R"("generated_at": "[^"]*")", R"("generated_at": "*")"},
             {day, "YESTERDAY"}}) {
      text = std::regex_replace(text, std::regex(pattern), word);
    }
    return text;
  }

  /// Runs the program in proj/ with `args` after the program's path.
  Ended run(std::vector<std::string> args, const Io& io = {}) const {
    args.insert(args.begin(), TARN_BINARY);
    std::vector<char*> argv(args.size() + 1);
    std::transform(args.begin(), args.end(), argv.begin(), [](auto& arg) { return arg.data(); });
    auto open_stream = [this](Stream stream, const char* capture) {
      int ends[2] = {-1, -1};
      fs::remove(root() / capture);
      if (stream == Stream::closed_pipe && ::pipe2(ends, O_CLOEXEC) == 0) {
        ::close(ends[0]);
      }
      return stream == Stream::closed_pipe ? ends[1]
             : stream == Stream::dev_full
                 ? ::open("/dev/full", O_WRONLY | O_CLOEXEC)
                 : ::open((root() / capture).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    };
    const int out = open_stream(io.out, "out.txt"), err = open_stream(io.err, "err.txt");
    const std::string cwd = (root() / "proj").native();
    const rlimit limit{io.file_size, io.file_size};
    const pid_t pid = ::fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
      ::signal(SIGPIPE, SIG_DFL);
      ::signal(SIGXFSZ, SIG_DFL);
      if (::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(cwd.c_str()) != 0 ||
          ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        ::_exit(125);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out);
    ::close(err);
    int status = 0;
    for (int wait = 0; io.signal != 0 && wait < 12'000 && !fs::exists(root() / "bin/started");
         ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (io.signal != 0) {
      ::kill(pid, io.signal);
    }
    ::waitpid(pid, &status, 0);
    return Ended{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 WIFSIGNALED(status) ? WTERMSIG(status) : 0, read("out.txt"), read("err.txt")};
  }

 private:
  testing::ScratchDir scratch_;
};

}  // namespace tarn::cli_test
