#pragma once
// The scratch directory and file helpers file-system tests share, and a stand-in dbt.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarn::testing {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const fs::path& path) {  // "" if there is none
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

/// A fresh directory under /tmp, removed at the end; canonical, as a child prints it.
struct ScratchDir {
  ScratchDir() {
    std::string pattern = "/tmp/tarn-unit-XXXXXX";
    path = fs::canonical(::mkdtemp(pattern.data()) ? pattern : "");  // throws if none was made
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path operator/(const fs::path& rest) const { return path / rest; }
  fs::path path;
};

/// A stand-in `dbt`, first on PATH while it lives, that logs each start (its working directory
/// and arguments, a line each, then "--") and then runs the behaviour it was given.
struct StandInDbt {
  explicit StandInDbt(const std::string& behaviour = "") {
    write_file(dir / "dbt", "#!/bin/sh\nprintf '%s\\n' \"$(pwd -P)\" \"$@\" -- >> " +
                                (dir / "log").string() + "\n" + behaviour + "\n");
    fs::permissions(dir / "dbt", fs::perms::owner_all);
    ::setenv("PATH", (dir.path.string() + ":" + saved_path).c_str(), 1);
  }
  ~StandInDbt() { ::setenv("PATH", saved_path.c_str(), 1); }
  std::string log() const { return read_file(dir / "log"); }
  ScratchDir dir;
  const std::string saved_path = std::getenv("PATH");
};

}  // namespace tarn::testing
