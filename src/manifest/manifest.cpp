#include "manifest/manifest.h"

#include <fmt/format.h>
#include <simdjson.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "manifest/manifest_text.h"
#include "manifest/strict_json.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace od = simdjson::ondemand;
using strict_json::Reader;

/// Reads the manifest's shape. Each record keeps a bit per known key so that
/// a repeated one is refused; every other key is walked and checked by
/// `Reader::skip`. The depth handed to `skip` is the nesting level of the
/// value inside the document, the top object being level 1.
class ManifestReader {
 public:
  explicit ManifestReader(Reader& in) : in_(in) {}

  bool read(od::document& document, Manifest& out) {
    std::string_view first;
    if (auto error = document.raw_json_token().get(first)) {
      return in_.fail_library(error);
    }
    if (first[0] != '{') {
      return in_.wrong_type(first, "a manifest object");
    }
    od::object root;
    if (auto error = document.get_object().get(root)) {
      // simdjson checks up front that the last token closes the top object.
      return error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT
                 ? in_.fail_at_end("unexpected end of input, or text after the top object")
                 : in_.fail_library(error);
    }
    if (!read_root(root, out)) {
      return false;
    }
    if (auto trailing = document.current_location(); !trailing.error()) {
      return in_.fail(trailing.value_unsafe(), "trailing characters");
    }
    return true;
  }

 private:
  bool read_root(od::object& root, Manifest& out) {
    enum : unsigned { nodes_seen = 1, sources_seen = 2, metadata_seen = 4 };
    unsigned seen = 0;
    return in_.for_each_field(root, [&](od::field& field, std::string_view key) {
      od::value& value = field.value();
      if (key == "nodes") {
        return in_.first_occurrence(seen, nodes_seen, field, key) && read_nodes(value, out.nodes);
      }
      if (key == "sources") {
        return in_.first_occurrence(seen, sources_seen, field, key) &&
               read_sources(value, out.nodes);
      }
      if (key == "metadata") {
        return in_.first_occurrence(seen, metadata_seen, field, key) &&
               read_metadata(value, out.generated_at);
      }
      constexpr int member_depth = 2;
      return in_.skip(value, member_depth);
    });
  }

  bool read_metadata(od::value& value, std::optional<std::string>& generated_at) {
    bool null = false;
    od::object object;
    if (!in_.check_null(value, null) || null) {
      return null;
    }
    if (!in_.read_object(value, object, "an object")) {
      return false;
    }
    unsigned seen = 0;
    return in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      if (key == "generated_at") {
        return in_.first_occurrence(seen, 1, field, key) &&
               read_optional_string(field.value(), generated_at);
      }
      return in_.skip(field.value(), 3);
    });
  }

  bool read_nodes(od::value& value, std::unordered_map<std::string, ManifestNode>& nodes) {
    od::object object;
    if (!in_.read_object(value, object, "an object of nodes")) {
      return false;
    }
    return in_.for_each_field(object, [&](od::field& field, std::string_view id) {
      ManifestNode node;
      bool is_model = false;
      if (!read_node(field.value(), node, is_model)) {
        return false;
      }
      place_node(std::string(id), std::move(node), is_model, nodes);
      return true;
    });
  }

  /// A later entry under the same id replaces an earlier one, and one that
  /// is not a model takes the earlier model out again. Sources win over
  /// nodes whichever of the two maps comes first in the file.
  static void place_node(std::string id, ManifestNode&& node, bool is_model,
                         std::unordered_map<std::string, ManifestNode>& nodes) {
    auto found = nodes.find(id);
    if (found != nodes.end() && found->second.is_source) {
      return;
    }
    if (!is_model) {
      if (found != nodes.end()) {
        nodes.erase(found);
      }
      return;
    }
    node.id = id;
    if (found != nodes.end()) {
      found->second = std::move(node);
    } else {
      nodes.emplace(std::move(id), std::move(node));
    }
  }

  bool read_node(od::value& value, ManifestNode& node, bool& is_model) {
    enum : unsigned {
      name_seen = 1,
      resource_type_seen = 2,
      depends_on_seen = 4,
      config_seen = 8,
      version_seen = 16,
    };
    const char* at = in_.location(value);
    od::object object;
    if (!in_.read_object(value, object, "a node object")) {
      return false;
    }
    unsigned seen = 0;
    std::string resource_type;
    bool read = in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      od::value& member = field.value();
      if (key == "name") {
        return in_.first_occurrence(seen, name_seen, field, key) &&
               in_.read_string(member, node.name);
      }
      if (key == "resource_type") {
        return in_.first_occurrence(seen, resource_type_seen, field, key) &&
               in_.read_string(member, resource_type);
      }
      if (key == "depends_on") {
        return in_.first_occurrence(seen, depends_on_seen, field, key) &&
               read_depends_on(member, node.depends_on);
      }
      if (key == "config") {
        return in_.first_occurrence(seen, config_seen, field, key) && read_config(member, node);
      }
      if (key == "version") {
        return in_.first_occurrence(seen, version_seen, field, key) &&
               read_version(member, node.version);
      }
      return in_.skip(member, 4);
    });
    if (!read) {
      return false;
    }
    if ((seen & name_seen) == 0) {
      return in_.fail(at, "missing field `name`");
    }
    if ((seen & resource_type_seen) == 0) {
      return in_.fail(at, "missing field `resource_type`");
    }
    is_model = resource_type == "model";
    return true;
  }

  bool read_depends_on(od::value& value, std::vector<std::string>& parents) {
    od::object object;
    if (!in_.read_object(value, object, "an object")) {
      return false;
    }
    unsigned seen = 0;
    return in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      if (key == "nodes") {
        return in_.first_occurrence(seen, 1, field, key) && read_parents(field.value(), parents);
      }
      return in_.skip(field.value(), 5);
    });
  }

  bool read_parents(od::value& value, std::vector<std::string>& parents) {
    od::array array;
    if (!in_.read_array(value, array, "an array of strings")) {
      return false;
    }
    return in_.for_each_element(array, [&](od::value& element) {
      return in_.read_string(element, parents.emplace_back());
    });
  }

  bool read_config(od::value& value, ManifestNode& node) {
    enum : unsigned {
      event_time_seen = 1,
      meta_seen = 2,
      materialized_seen = 4,
      incremental_strategy_seen = 8,
    };
    od::object object;
    if (!in_.read_object(value, object, "an object")) {
      return false;
    }
    unsigned seen = 0;
    return in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      if (key == "event_time") {
        return in_.first_occurrence(seen, event_time_seen, field, key) &&
               read_optional_string(field.value(), node.event_time);
      }
      if (key == "meta") {
        return in_.first_occurrence(seen, meta_seen, field, key) &&
               read_meta(field.value(), node.meta);
      }
      if (key == "materialized") {
        return in_.first_occurrence(seen, materialized_seen, field, key) &&
               read_optional_string(field.value(), node.materialized);
      }
      if (key == "incremental_strategy") {
        return in_.first_occurrence(seen, incremental_strategy_seen, field, key) &&
               read_optional_string(field.value(), node.incremental_strategy);
      }
      return in_.skip(field.value(), 5);
    });
  }

  bool read_meta(od::value& value, std::optional<TarnMeta>& meta) {
    od::object object;
    if (!in_.read_object(value, object, "an object")) {
      return false;
    }
    unsigned seen = 0;
    return in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      if (key == "tarn") {
        return in_.first_occurrence(seen, 1, field, key) && read_optional_tarn(field.value(), meta);
      }
      return in_.skip(field.value(), 6);
    });
  }

  bool read_optional_tarn(od::value& value, std::optional<TarnMeta>& meta) {
    bool null = false;
    if (!in_.check_null(value, null) || null) {
      return null;
    }
    od::object object;
    if (!in_.read_object(value, object, "an object")) {
      return false;
    }
    return read_tarn(object, meta.emplace());
  }

  bool read_tarn(od::object& object, TarnMeta& tarn) {
    enum : unsigned {
      lookback_seen = 1,
      lookback_unit_seen = 2,
      lookahead_seen = 4,
      lookahead_unit_seen = 8,
      lookback_overrides_seen = 16,
      lookahead_overrides_seen = 32,
    };
    unsigned seen = 0;
    return in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      od::value& member = field.value();
      if (key == "lookback") {
        return in_.first_occurrence(seen, lookback_seen, field, key) &&
               in_.read_integer(member, tarn.lookback);
      }
      if (key == "lookback_unit") {
        return in_.first_occurrence(seen, lookback_unit_seen, field, key) &&
               read_unit(member, tarn.lookback_unit);
      }
      if (key == "lookahead") {
        return in_.first_occurrence(seen, lookahead_seen, field, key) &&
               in_.read_integer(member, tarn.lookahead);
      }
      if (key == "lookahead_unit") {
        return in_.first_occurrence(seen, lookahead_unit_seen, field, key) &&
               read_unit(member, tarn.lookahead_unit);
      }
      if (key == "lookback_overrides") {
        return in_.first_occurrence(seen, lookback_overrides_seen, field, key) &&
               read_overrides(member, tarn.lookback_overrides);
      }
      if (key == "lookahead_overrides") {
        return in_.first_occurrence(seen, lookahead_overrides_seen, field, key) &&
               read_overrides(member, tarn.lookahead_overrides);
      }
      return in_.skip(member, 7);
    });
  }

  bool read_unit(od::value& value, WindowUnit& unit) {
    const char* at = in_.location(value);
    std::string name;
    if (!in_.read_string(value, name)) {
      return false;
    }
    if (auto known = parse_unit(name)) {
      unit = *known;
      return true;
    }
    return in_.fail(
        at,
        fmt::format("unknown variant `{}`, expected one of `day`, `week`, `month`, `year`", name));
  }

  bool read_overrides(od::value& value, std::unordered_map<std::string, std::int64_t>& overrides) {
    od::object object;
    if (!in_.read_object(value, object, "an object of integers")) {
      return false;
    }
    return in_.for_each_field(object, [&](od::field& field, std::string_view name) {
      std::int64_t amount = 0;
      if (!in_.read_integer(field.value(), amount)) {
        return false;
      }
      overrides.insert_or_assign(std::string(name), amount);
      return true;
    });
  }

  /// dbt writes a model's version as an integer, a float or a string and
  /// shows the model as "{name}.v{version}"; the text after ".v" is kept.
  bool read_version(od::value& value, std::optional<std::string>& version) {
    bool null = false;
    if (!in_.check_null(value, null) || null) {
      return null;
    }
    std::string_view token = value.raw_json_token();
    if (token[0] == '"') {
      return in_.read_string(value, version.emplace());
    }
    if (token[0] == '-' || (token[0] >= '0' && token[0] <= '9')) {
      return in_.read_number_text(value, version.emplace());
    }
    return in_.wrong_type(value, "an integer, a float or a string");
  }

  bool read_sources(od::value& value, std::unordered_map<std::string, ManifestNode>& nodes) {
    od::object object;
    if (!in_.read_object(value, object, "an object of sources")) {
      return false;
    }
    return in_.for_each_field(object, [&](od::field& field, std::string_view id) {
      ManifestNode source;
      source.id = id;
      source.is_source = true;
      if (!read_source(field.value(), source)) {
        return false;
      }
      std::string key = source.id;
      nodes.insert_or_assign(std::move(key), std::move(source));
      return true;
    });
  }

  /// A source keeps only its name; its own config is never read.
  bool read_source(od::value& value, ManifestNode& source) {
    const char* at = in_.location(value);
    od::object object;
    if (!in_.read_object(value, object, "a source object")) {
      return false;
    }
    unsigned seen = 0;
    bool read = in_.for_each_field(object, [&](od::field& field, std::string_view key) {
      if (key == "name") {
        return in_.first_occurrence(seen, 1, field, key) &&
               in_.read_string(field.value(), source.name);
      }
      return in_.skip(field.value(), 4);
    });
    if (read && seen == 0) {
      return in_.fail(at, "missing field `name`");
    }
    return read;
  }

  bool read_optional_string(od::value& value, std::optional<std::string>& out) {
    bool null = false;
    if (!in_.check_null(value, null) || null) {
      return null;
    }
    return in_.read_string(value, out.emplace());
  }

  Reader& in_;
};

/// Nodes take a few kilobytes each in any manifest dbt writes; reserving on
/// that guess avoids most rehashing without holding much memory.
std::size_t expected_node_count(std::size_t text_size) {
  constexpr std::size_t bytes_per_node_guess = 8192;
  return text_size / bytes_per_node_guess + 16;
}

/// One pass over the text, checking every value against the JSON grammar,
/// the ones it does not keep included.
std::expected<Manifest, std::string> parse_padded(simdjson::padded_string_view json) {
  std::string_view text(json.data(), json.size());
  Reader in(text);
  od::parser parser;
  od::document document;
  if (auto error = parser.iterate(json).get(document)) {
    auto fault = strict_json::locate_document_fault(text);
    if (!fault.message.empty()) {
      return std::unexpected(
          fmt::format("{} at {}", fault.message, line_and_column(text, fault.offset)));
    }
    in.fail_library(error);
    return std::unexpected(in.detail());
  }
  in.attach(document);
  Manifest manifest;
  manifest.nodes.reserve(expected_node_count(text.size()));
  ManifestReader reader(in);
  if (!reader.read(document, manifest)) {
    return std::unexpected(in.detail());
  }
  return manifest;
}

}  // namespace

std::string ManifestError::message() const {
  return path + ": " + detail;
}

std::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path) {
  std::string shown = display_path(path);
  auto read_failure = [&](std::string detail) {
    return std::unexpected(ManifestError{shown, std::move(detail)});
  };
  try {
    auto text = manifest_text::Text::load(path);
    if (!text) {
      return read_failure(os_error_text(text.error()));
    }
    std::expected<Manifest, std::string> manifest;
    bool valid_utf8 = true;
    {
      manifest_text::TruncationGuard guard(*text);
      manifest = parse_padded(text->view());
      // Only a failed parse can have met invalid UTF-8, so the check costs
      // nothing on the way to a good manifest.
      valid_utf8 = manifest || simdjson::validate_utf8(text->data(), text->size());
    }
    if (text->changed()) {
      return read_failure("the file changed while it was being read");
    }
    if (!valid_utf8) {
      return read_failure("stream did not contain valid UTF-8");
    }
    if (!manifest) {
      return std::unexpected(ManifestError{shown, manifest.error()});
    }
    return std::move(*manifest);
  } catch (const std::bad_alloc&) {
    return read_failure(os_error_text(ENOMEM));
  }
}

std::expected<Manifest, std::string> parse_manifest(std::string_view json) {
  try {
    simdjson::padded_string text(json);
    return parse_padded(text);
  } catch (const std::bad_alloc&) {
    return std::unexpected(os_error_text(ENOMEM));
  }
}

}  // namespace tarn
