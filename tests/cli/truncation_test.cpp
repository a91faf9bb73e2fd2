// dbt rewrites target/manifest.json in place, truncating it first. A run that
// is reading the file at that moment must fail with a message, never die of
// a signal. The stand-in dbt's `parse` starts a background job that empties
// the manifest as soon as the program (the stand-in's parent) has mapped it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cli_fixture.h"

namespace tarn::cli_test {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t k_manifest_bytes = std::uintmax_t{150} << 20;

/// A chain of models whose SQL the reader skips, about 150 MB in all.
void write_large_manifest(const fs::path& path) {
  const std::string sql(8000, 'x');
  std::ofstream out(path, std::ios::binary);
  out << R"({"metadata": {}, "nodes": {)";
  for (std::size_t i = 0; static_cast<std::uintmax_t>(out.tellp()) < k_manifest_bytes; ++i) {
    out << (i ? "," : "") << "\"model.p.m" << i << "\": {\"name\": \"m" << i
        << "\", \"resource_type\": \"model\", \"raw_code\": \"" << sql
        << "\", \"depends_on\": {\"nodes\": []}}";
  }
  out << "}}";
}

constexpr const char* k_truncating_dbt = R"sh(#!/bin/sh
if [ "$1" = parse ]; then
  touch target/manifest.json
  reader=$PPID
  (
    tries=0
    until grep -q 'target/manifest.json' "/proc/$reader/maps" || [ $tries -ge 1000 ]; do
      sleep 0.005
      tries=$((tries + 1))
    done
    : > target/manifest.json
  ) </dev/null >/dev/null 2>&1 &
fi
exit 0
)sh";

TEST(Truncation, AManifestEmptiedWhileReadGivesAnErrorNotASignal) {
  ScratchProject project;
  project.write("bin/dbt", k_truncating_dbt);
  const fs::path manifest = project.project() / "target/manifest.json";
  fs::create_directories(manifest.parent_path());
  write_large_manifest(manifest);
  // Older than dbt_project.yml, so the run starts `dbt parse` first.
  fs::last_write_time(
      manifest, fs::last_write_time(project.project() / "dbt_project.yml") - std::chrono::hours(1));

  const RunResult result = project.run_with_dbt({"--select", "m0"});

  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.err,
            "error: ./target/manifest.json: the file changed while it was being read\n");
  EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace tarn::cli_test
