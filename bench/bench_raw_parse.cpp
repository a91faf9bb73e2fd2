// The yardstick for bench_manifest: the plainest simdjson On-Demand reading
// of the same file, with no strictness beyond simdjson's own. It loads the
// file into a padded string and, for every node and source, reads the name,
// the resource type and the parents, stepping over everything else.
//
//   bench_raw_parse <manifest.json> [runs]

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "rusage.h"

namespace {

namespace od = simdjson::ondemand;

std::size_t count_parents(od::object node) {
  std::size_t parents = 0;
  for (auto field : node) {
    std::string_view key = field.unescaped_key().value();
    if (key == "name" || key == "resource_type") {
      std::string_view text = field.value().get_string().value();
      parents += text.empty() ? 1 : 0;
    } else if (key == "depends_on") {
      od::object depends_on = field.value().get_object().value();
      for (auto inner : depends_on) {
        if (inner.unescaped_key().value() == "nodes") {
          for (auto parent : inner.value().get_array()) {
            parents += parent.get_string().value().empty() ? 0 : 1;
          }
        }
      }
    }
  }
  return parents;
}

std::size_t read_once(const char* path) {
  simdjson::padded_string text = simdjson::padded_string::load(path).value();
  od::parser parser;
  od::document document = parser.iterate(text).value();
  std::size_t parents = 0;
  for (auto member : document.get_object()) {
    std::string_view key = member.unescaped_key().value();
    if (key == "nodes" || key == "sources") {
      for (auto node : member.value().get_object()) {
        parents += count_parents(node.value().get_object().value());
      }
    }
  }
  return parents;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_raw_parse <manifest.json> [runs]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<double> seconds;
  std::vector<double> cpu;
  std::size_t parents = 0;
  try {
    for (int run = 0; run < runs; ++run) {
      const double cpu_start = tarn::bench::cpu_seconds();
      auto start = std::chrono::steady_clock::now();
      parents = read_once(argv[1]);
      seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      cpu.push_back(tarn::bench::cpu_seconds() - cpu_start);
    }
  } catch (const simdjson::simdjson_error& error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
    return 1;
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("parents       %zu\n", parents);
  std::printf("best          %.1f ms\n", seconds.front() * 1e3);
  std::printf("best CPU      %.1f ms\n", cpu.front() * 1e3);
  std::printf("peak RSS      %.1f MB\n",
              static_cast<double>(tarn::bench::peak_resident_kib()) * 1024 / 1e6);
  return 0;
}
