// Loads one manifest file repeatedly and reports the ingestion rate and the
// process's peak resident memory.
//
//   bench_manifest <manifest.json> [runs]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "rusage.h"

using tarn::bench::cpu_seconds;
using tarn::bench::peak_resident_kib;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_manifest <manifest.json> [runs]\n");
    return 2;
  }
  const std::filesystem::path path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::error_code error;
  const auto bytes = static_cast<double>(std::filesystem::file_size(path, error));
  if (error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.message().c_str());
    return 1;
  }
  const long resident_before = peak_resident_kib();

  std::vector<double> seconds;
  std::vector<double> cpu;
  std::size_t models = 0;
  std::size_t sources = 0;
  for (int run = 0; run < runs; ++run) {
    double cpu_start = cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    auto manifest = tarn::load_manifest(path);
    auto stop = std::chrono::steady_clock::now();
    cpu.push_back(cpu_seconds() - cpu_start);
    if (!manifest) {
      std::fprintf(stderr, "%s\n", manifest.error().message().c_str());
      return 1;
    }
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
    sources = static_cast<std::size_t>(
        std::count_if(manifest->nodes.begin(), manifest->nodes.end(),
                      [](const auto& entry) { return entry.second.is_source; }));
    models = manifest->nodes.size() - sources;
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(cpu.begin(), cpu.end());
  const double best = seconds.front();
  const double median = seconds[seconds.size() / 2];
  const double megabytes = bytes / 1e6;
  const double peak_mb = static_cast<double>(peak_resident_kib()) * 1024 / 1e6;
  std::printf("file          %s\n", argv[1]);
  std::printf("size          %.1f MB\n", megabytes);
  std::printf("nodes         %zu models, %zu sources\n", models, sources);
  std::printf("runs          %d\n", runs);
  std::printf("best          %.1f ms  %.0f MB/s\n", best * 1e3, megabytes / best);
  std::printf("median        %.1f ms  %.0f MB/s\n", median * 1e3, megabytes / median);
  std::printf("best CPU      %.1f ms  %.0f MB/s\n", cpu.front() * 1e3, megabytes / cpu.front());
  std::printf("median CPU    %.1f ms  %.0f MB/s\n", cpu[cpu.size() / 2] * 1e3,
              megabytes / cpu[cpu.size() / 2]);
  std::printf("peak RSS      %.1f MB (%.2fx the file; %.1f MB before loading)\n", peak_mb,
              peak_mb / megabytes, static_cast<double>(resident_before) * 1024 / 1e6);
  return 0;
}
