// The manifest reader on arbitrary bytes: it returns a graph or one message.
// A graph it returns must agree with an independent reading of the same text
// by nlohmann::json: every model and every source under its key, with its
// name and its parents in manifest order.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_check.h"
#include "manifest/manifest.h"

namespace {

std::vector<std::string> parents_of(const nlohmann::json& node) {
  std::vector<std::string> parents;
  if (node.contains("depends_on") && node["depends_on"].contains("nodes")) {
    for (const auto& id : node["depends_on"]["nodes"]) {
      parents.push_back(id.get<std::string>());
    }
  }
  return parents;
}

void check_against_reference(std::string_view text, const tarn::Manifest& manifest) {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(!document.is_discarded() && document.is_object());
  std::unordered_set<std::string> source_ids;
  if (document.contains("sources")) {
    for (const auto& [id, source] : document["sources"].items()) {
      source_ids.insert(id);
      FUZZ_CHECK(source.contains("name"));
      const auto found = manifest.nodes.find(id);
      FUZZ_CHECK(found != manifest.nodes.end() && found->second.is_source);
      FUZZ_CHECK(found->second.name == source["name"].get<std::string>());
    }
  }
  std::size_t models = 0;
  if (document.contains("nodes")) {
    for (const auto& [id, node] : document["nodes"].items()) {
      FUZZ_CHECK(node.contains("name") && node.contains("resource_type"));
      if (node["resource_type"] != "model" || source_ids.contains(id)) {
        continue;
      }
      ++models;
      const auto found = manifest.nodes.find(id);
      FUZZ_CHECK(found != manifest.nodes.end() && !found->second.is_source);
      FUZZ_CHECK(found->second.name == node["name"].get<std::string>());
      FUZZ_CHECK(found->second.depends_on == parents_of(node));
    }
  }
  FUZZ_CHECK(manifest.nodes.size() == models + source_ids.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = tarn::parse_manifest(text);
  if (!manifest) {
    FUZZ_CHECK(!manifest.error().empty());
    return 0;
  }
  for (const auto& [id, node] : manifest->nodes) {
    FUZZ_CHECK(node.id == id);
    if (node.is_source) {
      FUZZ_CHECK(node.depends_on.empty());
      FUZZ_CHECK(!node.event_time && !node.meta);
    }
  }
  check_against_reference(text, *manifest);
  return 0;
}
