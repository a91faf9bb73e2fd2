#pragma once
// Memory pages, for the code that maps the manifest and faults memory in.

#include <unistd.h>

#include <cstddef>

namespace tarn::pages {

inline std::size_t size() {
  static const auto bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes;
}

inline std::size_t round_up(std::size_t n, std::size_t unit) {
  return (n + unit - 1) / unit * unit;
}

}  // namespace tarn::pages
