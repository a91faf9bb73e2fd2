// A run against a manifest of about 1 GB, written on the fly into the
// scratch project and removed with it. Most of its bytes are SQL, columns and
// descriptions that the reader skips, as in real manifests. Slow: it runs
// only when TARN_SLOW_TESTS=1 is set (ctest -L slow).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "cli_fixture.h"
#include "fault_child.h"

namespace tarn::cli_test {
namespace {

constexpr std::uintmax_t k_target_bytes = 1ull << 30;

/// A model whose SQL and columns take about 5 kB.
void write_node(std::ofstream& out, std::size_t i, const std::string& padding) {
  const std::string name = "m" + std::to_string(i);
  out << (i ? ",\n" : "\n") << "\"model.p." << name << "\": {\"name\": \"" << name
      << "\", \"resource_type\": \"model\", \"raw_code\": \"" << padding
      << "\", \"columns\": {\"id\": {\"name\": \"id\", \"description\": \""
      << padding.substr(0, 600)
      << "\", \"meta\": {}, \"tags\": []}}, \"depends_on\": {\"macros\": [], \"nodes\": [";
  if (i > 0) {
    out << "\"model.p.m" << (i - 1) << "\"";
  }
  out << "]}, \"config\": {\"event_time\": \"ts\", \"meta\": {\"tarn\": {\"lookback\": 1}}}}";
}

std::uintmax_t write_huge_manifest(const std::filesystem::path& path) {
  std::string padding;
  while (padding.size() < 4096) {
    padding += "select id, amount from orders where status = 'shipped' \\n ";
  }
  std::ofstream out(path, std::ios::binary);
  out << R"({"metadata": {"generated_at": "2024-01-01T00:00:00Z"}, "nodes": {)";
  std::size_t i = 0;
  for (; static_cast<std::uintmax_t>(out.tellp()) < k_target_bytes; ++i) {
    write_node(out, i, padding);
  }
  out << "}}";
  out.close();
  return std::filesystem::file_size(path);
}

TEST(HugeManifest, GigabyteManifestIsReadWithinBoundedTimeAndMemory) {
  const char* wanted = std::getenv("TARN_SLOW_TESTS");
  if (wanted == nullptr || std::string(wanted) != "1") {
    GTEST_SKIP() << "set TARN_SLOW_TESTS=1 to write and read a 1 GB manifest";
  }
  ScratchProject project;
  project.write_manifest("{}");
  const std::uintmax_t bytes = write_huge_manifest(project.project() / "target/manifest.json");
  // Newer than every project input, so no refresh is attempted.
  std::filesystem::last_write_time(
      project.project() / "target/manifest.json",
      std::filesystem::last_write_time(project.project() / "dbt_project.yml") +
          std::chrono::hours(1));
  project.set_ls_output("m0\nm1\nm2\n");
  const ChildResult result =
      run_child({TARN_BINARY, "--select", "m0+", "--event-time-start", "2024-03-10",
                 "--event-time-end", "2024-03-12", "--dbt-command", project.dbt().string()},
                project.project(), with_deadline(std::chrono::seconds(600)));
  std::printf("    %ju bytes: status %d, signal %d, %.1f s, peak %ld MB\n", bytes, result.status,
              result.signal, result.seconds, result.peak_rss_kb / 1024);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.signal, 0);
  EXPECT_FALSE(result.timed_out);
  EXPECT_THAT(project.read("proj/target/tarn/dbt_plan.json"),
              ::testing::HasSubstr("\"name\": \"m2\""));
  // The text itself must be held once; the graph it yields is small.
  EXPECT_LT(static_cast<std::uintmax_t>(result.peak_rss_kb) * 1024, 3 * bytes);
}

}  // namespace
}  // namespace tarn::cli_test
