// dbt rewrites target/manifest.json in place, truncating it first. A run that
// is reading the file at that moment must fail with a message, never die of
// a signal. The stand-in's `parse` starts a background job that empties the
// manifest as soon as the program (the stand-in's parent) has mapped it.

#include <gtest/gtest.h>

#include <fstream>

#include "harness.h"

namespace tarn::cli_test {
namespace {

constexpr const char* k_truncating_parse = R"sh(
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
exit 0
)sh";

TEST(Truncation, AManifestEmptiedWhileReadGivesAnErrorNotASignal) {
  Project project;
  project.write("bin/parse.sh", k_truncating_parse);
  const fs::path manifest = project.root() / "proj/target/manifest.json";
  fs::create_directories(manifest.parent_path());
  {
    // A chain of models whose SQL the reader skips, about 150 MB in all.
    const std::string sql(8000, 'x');
    std::ofstream out(manifest, std::ios::binary);
    out << R"({"metadata": {}, "nodes": {)";
    for (std::size_t i = 0; out.tellp() < (std::streamoff{150} << 20); ++i) {
      out << (i ? "," : "") << "\"model.p.m" << i << "\": {\"name\": \"m" << i
          << "\", \"resource_type\": \"model\", \"raw_code\": \"" << sql << "\"}";
    }
    out << "}}";
  }
  project.date_manifest(/*stale=*/true);  // so the run starts `dbt parse` first

  const Ended ended = project.run({"--select", "m0", "--dbt-command", project.root() / "bin/dbt"});

  EXPECT_EQ(ended.signal, 0);
  EXPECT_EQ(ended.status, 1);
  EXPECT_EQ(ended.err, "error: ./target/manifest.json: the file changed while it was being read\n");
  EXPECT_EQ(ended.out, "");
}

}  // namespace
}  // namespace tarn::cli_test
