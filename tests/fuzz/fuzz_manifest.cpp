// The manifest reader on arbitrary bytes: a graph or one message. A graph must agree with an
// independent reading of the same text by nlohmann::json: every model and every source under
// its key with its name, a model with its parents in manifest order, a source with none.
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = tarn::parse_manifest(text);
  if (!manifest) {
    FUZZ_CHECK(!manifest.error().empty());
    return 0;
  }
  using nlohmann::json;
  const json document = json::parse(text, nullptr, false);
  FUZZ_CHECK(!document.is_discarded() && document.is_object());
  const json sources = document.value("sources", json::object());
  std::size_t expected = 0;
  for (const bool source : {true, false}) {
    const json group = document.value(source ? "sources" : "nodes", json::object());
    for (const auto& [id, node] : group.items()) {
      FUZZ_CHECK(node.contains("name") && (source || node.contains("resource_type")));
      if (!source && (node["resource_type"] != "model" || sources.contains(id))) {
        continue;
      }
      ++expected;
      const auto found = manifest->nodes.find(id);
      FUZZ_CHECK(found != manifest->nodes.end() && found->second.id == id);
      const tarn::ManifestNode& got = found->second;
      FUZZ_CHECK(got.is_source == source && got.name == node["name"].get<std::string>());
      const auto parents = node.value(json::json_pointer("/depends_on/nodes"), json::array());
      FUZZ_CHECK(json(got.depends_on) == (source ? json::array() : parents));
      FUZZ_CHECK(!source || (!got.event_time && !got.meta));
    }
  }
  FUZZ_CHECK(manifest->nodes.size() == expected);
  return 0;
}
