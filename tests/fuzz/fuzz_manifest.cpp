// The manifest reader on arbitrary bytes: a graph or one message. A graph must agree with an
// independent reading of the same text by nlohmann::json: every model and every source under
// its key with its name, a model with its parents in manifest order, a source with none.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = tarn::parse_manifest(text);
  if (!manifest) {
    FUZZ_CHECK(!manifest.error().empty());
    return 0;
  }
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(!document.is_discarded() && document.is_object());
  const nlohmann::json sources = document.value("sources", nlohmann::json::object());
  std::size_t expected = 0;
  for (const char* group : {"sources", "nodes"}) {
    const nlohmann::json members = document.value(group, nlohmann::json::object());
    for (const auto& [id, node] : members.items()) {
      const bool source = group == std::string_view("sources");
      FUZZ_CHECK(node.contains("name") && (source || node.contains("resource_type")));
      if (!source && (node["resource_type"] != "model" || sources.contains(id))) {
        continue;
      }
      ++expected;
      const auto found = manifest->nodes.find(id);
      FUZZ_CHECK(found != manifest->nodes.end() && found->second.id == id);
      FUZZ_CHECK(found->second.is_source == source);
      FUZZ_CHECK(found->second.name == node["name"].get<std::string>());
      std::vector<std::string> parents;
      if (!source && node.contains("depends_on") && node["depends_on"].contains("nodes")) {
        parents = node["depends_on"]["nodes"].get<std::vector<std::string>>();
      }
      FUZZ_CHECK(found->second.depends_on == parents);
      FUZZ_CHECK(!source || (!found->second.event_time && !found->second.meta));
    }
  }
  FUZZ_CHECK(manifest->nodes.size() == expected);
  return 0;
}
