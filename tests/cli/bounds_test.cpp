// A hostile size: 100,000 selected models are planned within bounded time
// and memory, never ended by a crash or a stack overflow.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "fault_child.h"

namespace tarn::cli_test {
namespace {

using ::testing::StartsWith;

#if defined(__SANITIZE_ADDRESS__)
constexpr long k_memory_factor = 4;  // shadow memory and quarantine
#else
constexpr long k_memory_factor = 1;
#endif

constexpr long k_mb = 1024;  // ru_maxrss counts kilobytes

/// The run ended by itself with 0, or with 1 and exactly one error line.
void expect_clean_end(const ChildResult& result, const std::string& error_prefix,
                      long memory_limit_mb) {
  std::printf("    outcome: status %d, signal %d, %.2f s, peak %ld MB, stderr: %.300s\n",
              result.status, result.signal, result.seconds, result.peak_rss_kb / k_mb,
              result.err.c_str());
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  EXPECT_TRUE(result.status == 0 || result.status == 1) << result.status;
  if (result.status == 1) {
    EXPECT_THAT(result.err, StartsWith(error_prefix));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(result.err.ends_with('\n'));
  }
  EXPECT_LT(result.peak_rss_kb, memory_limit_mb * k_memory_factor * k_mb);
}

class BoundsTest : public ::testing::Test {
 protected:
  void SetUp() override { project.set_ls_output("raw\n"); }

  ChildResult run() const {
    return run_child({TARN_BINARY, "--select", "raw", "--event-time-start", "2024-03-10",
                      "--event-time-end", "2024-03-12", "--dbt-command", project.dbt().string()},
                     project.project(), with_deadline(std::chrono::seconds(120)));
  }

  ScratchProject project;
};

TEST_F(BoundsTest, HundredThousandSelectedModelsArePlanned) {
  constexpr int k_models = 100'000;
  std::string manifest = R"({"nodes": {)";
  std::string names;
  for (int i = 0; i < k_models; ++i) {
    const std::string name = "m" + std::to_string(i);
    manifest += (i ? ",\n" : "\n") + std::string("\"model.p.") + name + "\": {\"name\": \"" + name +
                "\", \"resource_type\": \"model\", \"depends_on\": {\"nodes\": [";
    if (i > 0) {
      manifest +=
          "\"model.p.m" + std::to_string(i - 1) + "\", \"model.p.m" + std::to_string(i / 2) + "\"";
    }
    manifest += "]}, \"config\": {\"event_time\": \"ts\", \"meta\": {\"tarn\": {\"lookback\": " +
                std::to_string(i % 3) + "}}}}";
    names += name + "\n";
  }
  project.write_manifest(manifest + "}}");
  project.set_ls_output(names);
  const ChildResult result = run();
  expect_clean_end(result, "error: ", 1024);
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string plan = project.read("proj/target/tarn/dbt_plan.json");
  std::size_t entries = 0;
  for (std::size_t at = plan.find("\"layer\": "); at != std::string::npos;
       at = plan.find("\"layer\": ", at + 1)) {
    ++entries;
  }
  EXPECT_EQ(entries, static_cast<std::size_t>(k_models));
  EXPECT_NE(plan.find("\"layer\": 99999\n"), std::string::npos);
}

}  // namespace
}  // namespace tarn::cli_test
