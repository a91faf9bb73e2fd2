#pragma once
// Scratch directories, files and a stand-in dbt for tests of the modules that
// start child processes. The stand-in is a /bin/sh script that records how it
// was started (working directory and arguments) and answers as configured.

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

namespace tarn::testing {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void write_script(const fs::path& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

/// A fresh directory under the real temporary directory, removed at the end.
/// Its path is canonical, so it compares equal to what a child prints.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/tarn-unit-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = fs::canonical(pattern);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rest) const { return path_ / rest; }

 private:
  fs::path path_;
};

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
