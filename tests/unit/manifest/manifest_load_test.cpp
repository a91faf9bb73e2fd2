// Loading from disk: read failures, the "{path}: {detail}" message, and the
// real manifests written by dbt 0.19 to 2.0.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "manifest/manifest.h"
#include "unit/support/scratch_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class ManifestFile : public ::testing::Test {
 protected:
  fs::path write(std::string_view bytes) const {
    testing::write_file(dir_ / "manifest.json", std::string(bytes));
    return dir_ / "manifest.json";
  }

  testing::ScratchDir dir_;
};

struct FailureCase {
  const char* name;
  std::string bytes;
  std::string detail;
};

class UnreadableManifest : public ManifestFile,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UnreadableManifest, FailsWithPathAndDetail) {
  const fs::path path = write(GetParam().bytes);
  auto manifest = load_manifest(path);
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error().message(), path.string() + ": " + GetParam().detail);
}

INSTANTIATE_TEST_SUITE_P(
    ManifestFile, UnreadableManifest,
    ::testing::Values(FailureCase{"SyntaxFault",
                                  "{\n  \"nodes\": {\n    \"model.a\": tru\n  }\n}\n",
                                  "invalid literal at line 3 column 16"},
                      FailureCase{"Empty", "", "empty document at line 1 column 1"},
                      FailureCase{"InvalidUtf8", "{\"nodes\": {}, \"x\": \"\xc0\xaf\"}",
                                  "stream did not contain valid UTF-8"},
                      FailureCase{"InvalidUtf8AfterASyntaxFault", "{\"x\": tru, \"y\": \"\xff\"}",
                                  "stream did not contain valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManifestFile, MissingFileOrDirectoryIsAReadFailureWithTheSystemText) {
  const fs::path missing = dir_ / "target" / "manifest.json";
  auto manifest = load_manifest(missing);
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error().message(),
            missing.string() + ": No such file or directory (os error 2)");
  EXPECT_EQ(load_manifest(dir_.path()).error().detail, "Is a directory (os error 21)");
}

TEST_F(ManifestFile, PathIsShownAsGiven) {
  fs::path relative = fs::relative(dir_ / "nowhere.json", fs::current_path());
  EXPECT_EQ(load_manifest(relative).error().path, relative.string());
}

/// A manifest of several megabytes: large enough that the reader faults
/// simdjson's index (and the mapped file) in from a helper thread.
std::string large_manifest(int models) {
  const std::string sql(2000, 'x');
  std::string json = R"({"metadata": {"generated_at": "then"}, "nodes": {)";
  for (int i = 0; i < models; ++i) {
    json += (i == 0 ? "" : ",") + std::string("\n  \"model.p.m") + std::to_string(i) +
            R"(": {"name": "m)" + std::to_string(i) +
            R"(", "resource_type": "model", "raw_code": ")" + sql +
            R"(", "depends_on": {"nodes": ["model.p.m)" + std::to_string(i / 2) +
            R"("]}, "config": {"event_time": "at", "tags": [1, 2.5, true, null]}})";
  }
  return json + "}}";
}

TEST_F(ManifestFile, LargeManifestReadsTheSameWhetherMappedOrInMemory) {
  const std::string json = large_manifest(3000);
  ASSERT_GT(json.size(), std::size_t{5} << 20);
  auto from_disk = load_manifest(write(json));
  auto in_memory = parse_manifest(json);
  ASSERT_TRUE(from_disk) << from_disk.error().message();
  ASSERT_TRUE(in_memory) << in_memory.error();
  ASSERT_EQ(from_disk->nodes.size(), 3000u);
  EXPECT_EQ(in_memory->nodes.size(), 3000u);
  const ManifestNode& last = from_disk->nodes.at("model.p.m2999");
  EXPECT_EQ(last.name, "m2999");
  EXPECT_EQ(last.depends_on, std::vector<std::string>{"model.p.m1499"});
  EXPECT_EQ(last.event_time, "at");
  EXPECT_EQ(from_disk->generated_at, "then");
}

TEST_F(ManifestFile, LargeManifestWithAFaultNearTheEndNamesItsPlace) {
  std::string json = large_manifest(3000);
  json.replace(json.size() - 20, 4, "nul!");
  auto manifest = load_manifest(write(json));
  ASSERT_FALSE(manifest);
  EXPECT_THAT(manifest.error().detail,
              ::testing::StartsWith("invalid literal at line 3001 column"));
}

TEST_F(ManifestFile, ReadsFromAPipe) {
  fs::path fifo = dir_ / "fifo.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string body =
      R"({"sources": {"source.s": {"name": "s"}}, "pad": ")" + std::string(200'000, 'x') + "\"}";
  pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    std::ofstream(fifo, std::ios::binary) << body;
    ::_exit(0);
  }
  auto manifest = load_manifest(fifo);
  ASSERT_TRUE(manifest) << manifest.error().message();
  EXPECT_EQ(manifest->nodes.size(), 1u);
}

/// Facts about the shared fixtures, counted independently of this reader.
struct RealManifest {
  std::string_view file;
  std::size_t models;
  std::size_t sources;
  std::size_t with_event_time;
  std::size_t versioned;
  std::size_t parent_links;
};

constexpr RealManifest real_manifests[] = {
    {"v1-dbt0.19.1-jaffle-shop-bigquery.json", 8, 0, 0, 0, 12},
    {"v4-dbt1.0.0-jaffle-shop-bigquery.json", 5, 0, 0, 0, 5},
    {"v5-dbt1.1.0-jaffle-shop-elementary-package.json", 25, 6, 0, 0, 28},
    {"v9-dbt1.5.0rc1-jaffle-shop-elementary-package.json", 34, 0, 0, 0, 33},
    {"v10-dbt1.6.6-dbt-core-state-fixture.json", 2, 1, 0, 0, 0},
    {"v11-dbt1.7.0-jaffle-shop-elementary-package.json", 35, 0, 0, 0, 33},
    {"v12-dbt1.9.10-dbt-bouncer-versioned-packages.json", 33, 11, 0, 3, 50},
    {"v12-dbt1.11.0a1-dbt-core-state-fixture.json", 2, 1, 0, 0, 0},
    {"v12-dbtPREVIOUS-dbt-core-defer-state-event-time.json", 9, 1, 1, 0, 6},
    {"v12-dbt1.11.7-jaffle-shop-duckdb.json", 13, 6, 0, 0, 17},
    {"v12-dbt1.11.12-dbt-bouncer-versioned-packages.json", 39, 13, 0, 3, 59},
    {"v12-dbt2.0.0-beta.2-dbt-bouncer-fusion.json", 38, 13, 0, 3, 58},
};

TEST(RealManifests, EveryFixtureIsListedHere) {
  std::set<std::string> listed;
  for (const auto& real : real_manifests) {
    listed.emplace(real.file);
  }
  for (const auto& entry : fs::directory_iterator(TARN_REAL_MANIFESTS_DIR)) {
    if (entry.path().extension() == ".json") {
      EXPECT_TRUE(listed.contains(entry.path().filename().string())) << entry.path();
    }
  }
}

class RealManifestLoads : public ::testing::TestWithParam<RealManifest> {};

TEST_P(RealManifestLoads, WithTheExpectedGraph) {
  const RealManifest& real = GetParam();
  auto manifest = load_manifest(fs::path(TARN_REAL_MANIFESTS_DIR) / real.file);
  ASSERT_TRUE(manifest) << manifest.error().message();
  EXPECT_TRUE(manifest->generated_at);
  std::size_t models = 0;
  std::size_t sources = 0;
  std::size_t with_event_time = 0;
  std::size_t links = 0;
  std::set<std::string> versions;
  for (const auto& [id, node] : manifest->nodes) {
    EXPECT_EQ(id, node.id);
    EXPECT_FALSE(node.name.empty()) << id;
    if (node.is_source) {
      ++sources;
      EXPECT_THAT(id, ::testing::StartsWith("source."));
      continue;
    }
    ++models;
    EXPECT_THAT(id, ::testing::StartsWith("model."));
    with_event_time += node.event_time && !node.event_time->empty() ? 1 : 0;
    links += node.depends_on.size();
    if (node.version) {
      versions.insert(*node.version);
    }
  }
  EXPECT_EQ(models, real.models);
  EXPECT_EQ(sources, real.sources);
  EXPECT_EQ(with_event_time, real.with_event_time);
  EXPECT_EQ(links, real.parent_links);
  if (real.versioned > 0) {
    EXPECT_THAT(versions, ::testing::ElementsAre("1", "2", "3"));
  } else {
    EXPECT_THAT(versions, ::testing::IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(DbtReleases, RealManifestLoads, ::testing::ValuesIn(real_manifests),
                         [](const auto& info) {
                           std::string name(info.param.file.substr(0, info.param.file.size() - 5));
                           std::replace_if(
                               name.begin(), name.end(), [](char c) { return !std::isalnum(c); },
                               '_');
                           return name;
                         });

}  // namespace
}  // namespace tarn
