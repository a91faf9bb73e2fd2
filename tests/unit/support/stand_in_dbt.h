#pragma once
// A stand-in dbt for tests of the modules that start child processes: a
// /bin/sh script that records how it was started (working directory and
// arguments) and answers as configured.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "unit/support/scratch_dir.h"

namespace tarn::testing {

namespace fs = std::filesystem;

/// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

/// One start of the stand-in: where it ran and what it was given.
struct DbtCall {
  std::string cwd;
  std::string program;
  std::vector<std::string> args;
};

/// A stand-in dbt at <dir>/dbt. Each start is appended to <dir>/calls.log;
/// `behaviour` is shell text run afterwards, with the arguments in "$@".
class StandInDbt {
 public:
  StandInDbt(const fs::path& dir, const std::string& behaviour)
      : program_(dir / "dbt"), log_(dir / "calls.log") {
    write_script(program_,
                 "{ printf 'cwd=%s\\n' \"$(pwd -P)\"; printf 'program=%s\\n' \"$0\";\n"
                 "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done;\n"
                 "  printf 'end\\n'; } >> '" +
                     log_.string() + "'\n" + behaviour + "\n");
  }

  /// Prints `out` and `err` on the two streams (as printf formats, so "\\n"
  /// is a line feed) and exits with `code`.
  static std::string answer(const std::string& out, const std::string& err = "", int code = 0) {
    return "printf '" + out + "'\nprintf '" + err + "' >&2\nexit " + std::to_string(code);
  }

  const fs::path& program() const { return program_; }

  std::vector<DbtCall> calls() const {
    std::vector<DbtCall> calls;
    std::istringstream lines(read_file(log_));
    std::string line;
    DbtCall call;
    while (std::getline(lines, line)) {
      if (line.starts_with("cwd=")) {
        call = DbtCall{line.substr(4), {}, {}};
      } else if (line.starts_with("program=")) {
        call.program = line.substr(8);
      } else if (line.starts_with("arg=")) {
        call.args.push_back(line.substr(4));
      } else if (line == "end") {
        calls.push_back(call);
      }
    }
    return calls;
  }

 private:
  fs::path program_;
  fs::path log_;
};

}  // namespace tarn::testing
