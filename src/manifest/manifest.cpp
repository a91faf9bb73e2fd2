#include "manifest/manifest.h"

#include <fmt/format.h>
#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#include "manifest/manifest_text.h"
#include "manifest/strict_json.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace od = simdjson::ondemand;
using strict_json::Reader;
using Overrides = std::unordered_map<std::string, std::int64_t>;

/// A borrowed reader of one value, so that a table of keys allocates nothing.
class ReadValue {
 public:
  template <class Read>
  ReadValue(const Read& read)  // NOLINT(google-explicit-constructor): tables list lambdas
      : read_(&read), call_([](const void* read, od::value& value) -> bool {
          return (*static_cast<const Read*>(read))(value);
        }) {}

  bool operator()(od::value& value) const { return call_(read_, value); }

 private:
  const void* read_;
  bool (*call_)(const void*, od::value&);
};

enum class Use { once, nullable, required };

/// A known key of a record: refused when repeated; a nullable key's null is
/// checked and read as absent; a required key's absence is refused.
struct Key {
  std::string_view name;
  ReadValue read;
  Use use = Use::once;
};

using Keys = std::initializer_list<Key>;

/// Reads the manifest's shape from tables of each record's keys; the depth of
/// a record is the nesting level of its members, the top object's being 2.
class ManifestReader {
 public:
  explicit ManifestReader(Reader& in) : in_(in) {}

  bool read(od::document& document, Manifest& out);

 private:
  bool record(od::value& value, std::string_view expected, int depth, Keys keys) {
    const char* at = Reader::location(value);
    od::object object;
    return in_.open(value, object, expected) && fields(object, at, depth, keys);
  }

  /// Reads the members that `keys` name (a bit each in `seen`, in table
  /// order); every other member's value is checked and skipped.
  bool fields(od::object& object, const char* at, int depth, Keys keys) {
    unsigned seen = 0;
    bool read = in_.each(object, [&](od::field& field, std::string_view name) {
      const Key* key = std::ranges::find(keys, name, &Key::name);
      if (key == keys.end()) {
        return in_.skip(field.value(), depth);
      }
      const unsigned bit = 1U << (key - keys.begin());
      if ((seen & bit) != 0) {
        return in_.fail(Reader::location(field), fmt::format("duplicate field `{}`", name));
      }
      seen |= bit;
      bool null = key->use == Use::nullable && field.value().raw_json_token()[0] == 'n';
      return null ? in_.skip(field.value(), depth) : key->read(field.value());
    });
    if (!read) {
      return false;
    }
    for (const Key& key : keys) {
      if (key.use == Use::required && (seen & 1U << (&key - keys.begin())) == 0) {
        return in_.fail(at, fmt::format("missing field `{}`", key.name));
      }
    }
    return true;
  }

  /// Calls `read_entry(key, value)` for each member of an object.
  template <class ReadEntry>
  bool entries(od::value& value, std::string_view expected, ReadEntry&& read_entry) {
    od::object object;
    return in_.open(value, object, expected) &&
           in_.each(object, [&](od::field& field, std::string_view key) {
             return read_entry(key, field.value());
           });
  }

  /// The reader of a value into `out`, chosen by the type of `out`.
  template <class T>
  auto into(T& out) {
    return [this, &out](od::value& value) { return read_value(value, out); };
  }

  bool read_value(od::value& value, std::string& out) { return in_.read_string(value, out); }

  bool read_value(od::value& value, std::optional<std::string>& out) {
    return in_.read_string(value, out.emplace());
  }

  bool read_value(od::value& value, std::int64_t& out) { return in_.read_integer(value, out); }

  bool read_value(od::value& value, std::vector<std::string>& parents) {
    od::array array;
    return in_.open(value, array, "an array of strings") && in_.each(array, [&](od::value& parent) {
      return in_.read_string(parent, parents.emplace_back());
    });
  }

  bool read_value(od::value& value, WindowUnit& unit) {
    const char* at = Reader::location(value);
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

  bool read_value(od::value& value, Overrides& overrides) {
    return entries(value, "an object of integers", [&](std::string_view name, od::value& amount) {
      return in_.read_integer(amount, overrides[std::string(name)]);
    });
  }

  bool read_nodes(od::value& value, std::unordered_map<std::string, ManifestNode>& nodes) {
    return entries(value, "an object of nodes", [&](std::string_view id, od::value& entry) {
      ManifestNode node;
      std::string resource_type;
      if (!read_node(entry, node, resource_type)) {
        return false;
      }
      place_node(std::string(id), std::move(node), resource_type == "model", nodes);
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

  bool read_node(od::value& value, ManifestNode& node, std::string& resource_type) {
    auto depends_on = [&](od::value& object) {
      return record(object, "an object", 5, {{"nodes", into(node.depends_on)}});
    };
    auto version = [&](od::value& member) { return read_version(member, node.version); };
    return record(value, "a node object", 4,
                  {{"name", into(node.name), Use::required},
                   {"resource_type", into(resource_type), Use::required},
                   {"depends_on", depends_on},
                   {"config", [&](od::value& config) { return read_config(config, node); }},
                   {"version", version, Use::nullable}});
  }

  bool read_config(od::value& value, ManifestNode& node) {
    auto meta = [&](od::value& object) {
      auto tarn = [&](od::value& member) { return read_tarn(member, node.meta.emplace()); };
      return record(object, "an object", 6, {{"tarn", tarn, Use::nullable}});
    };
    return record(value, "an object", 5,
                  {{"event_time", into(node.event_time), Use::nullable},
                   {"meta", meta},
                   {"materialized", into(node.materialized), Use::nullable},
                   {"incremental_strategy", into(node.incremental_strategy), Use::nullable}});
  }

  bool read_tarn(od::value& value, TarnMeta& tarn) {
    return record(value, "an object", 7,
                  {{"lookback", into(tarn.lookback)},
                   {"lookback_unit", into(tarn.lookback_unit)},
                   {"lookahead", into(tarn.lookahead)},
                   {"lookahead_unit", into(tarn.lookahead_unit)},
                   {"lookback_overrides", into(tarn.lookback_overrides)},
                   {"lookahead_overrides", into(tarn.lookahead_overrides)}});
  }

  /// dbt writes a model's version as an integer, a float or a string and
  /// shows the model as "{name}.v{version}"; the text after ".v" is kept.
  bool read_version(od::value& value, std::optional<std::string>& version) {
    std::string_view token = value.raw_json_token();
    if (token[0] == '"') {
      return in_.read_string(value, version.emplace());
    }
    if (token[0] == '-' || (token[0] >= '0' && token[0] <= '9')) {
      return in_.read_number_text(value, version.emplace());
    }
    return in_.wrong_type(token, "an integer, a float or a string");
  }

  /// A source keeps only its name; its own config is never read.
  bool read_sources(od::value& value, std::unordered_map<std::string, ManifestNode>& nodes) {
    return entries(value, "an object of sources", [&](std::string_view id, od::value& entry) {
      ManifestNode source;
      source.id = id;
      source.is_source = true;
      if (!record(entry, "a source object", 4, {{"name", into(source.name), Use::required}})) {
        return false;
      }
      std::string key = source.id;
      nodes.insert_or_assign(std::move(key), std::move(source));
      return true;
    });
  }

  Reader& in_;
};

bool ManifestReader::read(od::document& document, Manifest& out) {
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
               ? in_.fail(in_.end(), "unexpected end of input, or text after the top object")
               : in_.fail_library(error);
  }
  auto metadata = [&](od::value& value) {
    return record(value, "an object", 3, {{"generated_at", into(out.generated_at), Use::nullable}});
  };
  bool read = fields(root, first.data(), 2,
                     {{"nodes", [&](od::value& value) { return read_nodes(value, out.nodes); }},
                      {"sources", [&](od::value& value) { return read_sources(value, out.nodes); }},
                      {"metadata", metadata, Use::nullable}});
  if (!read) {
    return false;
  }
  if (auto trailing = document.current_location(); !trailing.error()) {
    return in_.fail(trailing.value_unsafe(), "trailing characters");
  }
  return true;
}

/// Nodes take a few kilobytes each in any manifest dbt writes; reserving on
/// that guess avoids most rehashing without holding much memory.
std::size_t expected_node_count(std::size_t text_size) {
  constexpr std::size_t bytes_per_node_guess = 8192;
  return text_size / bytes_per_node_guess + 16;
}

/// One pass over the text, checking every value against the JSON grammar,
/// the ones it does not keep included.
std::expected<Manifest, std::string> parse_padded(simdjson::padded_string_view json) {
  Reader in(std::string_view(json.data(), json.size()));
  od::parser parser;
  od::document document;
  if (auto error = parser.iterate(json).get(document)) {
    in.fail_indexing(error);
    return std::unexpected(in.detail());
  }
  in.attach(document);
  Manifest manifest;
  manifest.nodes.reserve(expected_node_count(json.size()));
  if (!ManifestReader(in).read(document, manifest)) {
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
      return read_failure(std::move(manifest.error()));
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
