#pragma once
// The process's own CPU time and peak memory, for the benchmarks.

#include <sys/resource.h>

namespace tarn::bench {

/// User plus system CPU time of the process so far: on a shared machine it
/// moves much less than the wall clock.
inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/// Peak resident memory so far, in kibibytes (Linux's unit for ru_maxrss).
inline long peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace tarn::bench
