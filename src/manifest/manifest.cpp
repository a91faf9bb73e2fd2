#include "manifest/manifest.h"

#include <fmt/format.h>
#include <simdjson.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "manifest/manifest_text.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace od = simdjson::ondemand;
using Nodes = std::unordered_map<std::string, ManifestNode>;
using Overrides = std::unordered_map<std::string, std::int64_t>;

/// Levels of nesting allowed, the top object being level 1: simdjson's own
/// bound, which its iterator relies on.
constexpr int max_depth = 1024;
constexpr std::string_view integer_expected = "a signed 64-bit integer";
constexpr std::string_view structure_expected = "expected `,` `:` `}` or `]`, or a key";
constexpr std::string_view json_blanks = " \n\r\t";
constexpr std::string_view units = "`day`, `week`, `month`, `year`";

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool starts_number(char c) {
  return c == '-' || is_digit(c);
}

/// simdjson's raw tokens run up to the next token, blanks included.
std::string_view trimmed(std::string_view token) {
  return token.substr(0, token.find_last_not_of(json_blanks) + 1);
}

/// A token as messages quote it: long texts are cut on a character border.
std::string shortened(std::string_view token) {
  std::size_t end = 64;
  if (token.size() <= end) {
    return std::string(token);
  }
  while (end > 0 && (static_cast<unsigned char>(token[end]) & 0xC0) == 0x80) {
    --end;
  }
  return std::string(token.substr(0, end)) + "...";
}

/// The UTF-16 unit spelled by the first four characters when they are hex
/// digits, or -1.
int hex_unit(std::string_view text) {
  std::string_view digits = text.substr(0, 4);
  unsigned unit = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), unit, 16);
  return error == std::errc{} && end == digits.data() + 4 ? static_cast<int>(unit) : -1;
}

/// The length of the escape whose backslash precedes `rest`, or 0 when it is
/// not a valid escape. A \u escape of a UTF-16 surrogate must form a pair.
std::size_t escape_length(std::string_view rest) {
  if (!rest.starts_with('u')) {
    return !rest.empty() && std::string_view(R"("\/bfnrt)").contains(rest[0]) ? 2 : 0;
  }
  int unit = hex_unit(rest.substr(1));
  if (unit < 0xD800 || unit > 0xDFFF) {
    return unit < 0 ? 0 : 6;
  }
  int low = rest.substr(5).starts_with("\\u") ? hex_unit(rest.substr(7)) : -1;
  return unit < 0xDC00 && low >= 0xDC00 && low <= 0xDFFF ? 12 : 0;
}

/// Why `token` (no surrounding blanks) is not a JSON number that a double can
/// hold, or "": what from_chars reads, less a leading zero, a bare fraction
/// point and infinity, and not beyond a double's range (most JSON readers
/// refuse those).
std::string_view number_fault(std::string_view token) {
  std::string_view digits = token.substr(token.starts_with('-') ? 1 : 0);
  auto digit_at = [&](std::size_t at) { return at < digits.size() && is_digit(digits[at]); };
  std::size_t point = digits.find('.');
  double value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (!digit_at(0) || (digits[0] == '0' && digit_at(1)) ||
      (point != std::string_view::npos && !digit_at(point + 1)) ||
      end != digits.data() + digits.size()) {
    return "invalid number";
  }
  // from_chars refuses a number too close to zero as well; strtod reads it as 0.
  bool too_large = error == std::errc::result_out_of_range &&
                   !std::isfinite(std::strtod(std::string(token).c_str(), nullptr));
  return too_large ? "number out of range" : "";
}

std::string library_message(simdjson::error_code error) {
  if (error == simdjson::TAPE_ERROR || error == simdjson::EMPTY) {
    return std::string(error == simdjson::EMPTY ? "empty document" : structure_expected);
  }
  std::string text = simdjson::error_message(error);
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  if (text.ends_with('.')) {
    text.pop_back();
  }
  return text;
}

/// The scalar type and text of a token as messages show it.
std::string describe(std::string_view raw) {
  std::string_view token = trimmed(raw);
  if (std::string_view("{[n").contains(token[0])) {
    return token[0] == '{' ? "object" : token[0] == '[' ? "array" : "null";
  }
  if (token[0] == 't' || token[0] == 'f' || token[0] == '"') {
    return token[0] == '"' ? "string " + shortened(token) : fmt::format("boolean `{}`", token);
  }
  bool fractional = token.find_first_of(".eE") != std::string_view::npos;
  return fmt::format("{} `{}`", fractional ? "floating point" : "integer", shortened(token));
}

enum class Use { once, nullable, required };

/// A known key of a record: refused when repeated; a nullable key's null is
/// checked and read as absent; a required key's absence is refused.
struct Key {
  std::string_view name;
  std::function<bool(od::value&)> read;  // the lambdas hold two pointers: no allocation
  Use use = Use::once;
};

using Keys = std::initializer_list<Key>;

/// Strict reading on top of simdjson's On-Demand API, which checks only what
/// it is asked to read and jumps over the rest by counting brackets: this
/// reader checks every value it passes against the JSON grammar, so a broken
/// literal, number or escape inside an ignored key is still refused. The
/// first failure is kept with the offending token's position, and every check
/// returns false once it is recorded. The manifest's shape is read from a table
/// of each record's keys; a record's depth is the nesting level of its members,
/// the top object's being 2.
class ManifestReader {
 public:
  explicit ManifestReader(simdjson::padded_string_view json) : text_(json.data(), json.size()) {}

  bool read(od::document& document, Manifest& out);

  /// A failure of simdjson's indexing of the whole text, which it reports
  /// without a position: placed at the first fault in the text.
  bool fail_indexing(simdjson::error_code error) {
    bool in_string = false;
    std::size_t string_start = 0;
    for (std::size_t at = 0; at < text_.size();) {
      auto c = static_cast<unsigned char>(text_[at]);
      std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (c >= 0x80 &&
          (at + length > text_.size() || !simdjson::validate_utf8(text_.data() + at, length))) {
        return fail(text_.data() + at, "invalid UTF-8");
      }
      if (in_string && c == '\\') {
        at += at + 1 < text_.size() && static_cast<unsigned char>(text_[at + 1]) < 0x80 ? 2 : 1;
        continue;
      }
      if (in_string && c < 0x20) {
        return fail(text_.data() + at, "control character in string");
      }
      if (c == '"') {
        in_string = !in_string;
        string_start = at;
      }
      at += length;
    }
    return in_string ? fail(text_.data() + string_start, "unclosed string") : fail_library(error);
  }

  /// The failure message followed by " at line L column C".
  std::string detail() const {
    auto offset = static_cast<std::size_t>((at_ == nullptr ? text_.data() : at_) - text_.data());
    return fmt::format("{} at {}", message_, line_and_column(text_, offset));
  }

 private:
  /// Checks a value of any shape at nesting level `depth`, keeping nothing.
  bool skip(od::value& value, int depth) {
    std::string_view token = value.raw_json_token();
    if (token[0] != '{' && token[0] != '[') {
      return check_scalar(token) && close_scalar(token);
    }
    if (depth + 1 >= max_depth) {
      return fail(token.data(), "recursion limit exceeded");
    }
    // The type is known: `each_in` cannot refuse it.
    if (token[0] == '{') {
      return each_in(value, "", [&](od::field& field, std::string_view) {
        return skip(field.value(), depth + 1);
      });
    }
    return each_in<od::array>(value, "",
                              [&](od::value& element) { return skip(element, depth + 1); });
  }

  /// Calls `on(field, key)` for each member of an object, `key` unescaped, or
  /// `on(element)` for each element of an array; stops at the first false.
  template <class Container, class On>
  bool each(Container& container, On&& on) {
    for (auto result : container) {
      if (auto error = result.error()) {
        return fail_library(error);
      }
      // Used in place: copying the item out of the result costs a stall.
      auto& item = result.value_unsafe();
      if constexpr (std::is_same_v<Container, od::object>) {
        std::string_view key;
        if (!key_text(item, key) || !on(item, key)) {
          return false;
        }
      } else if (!on(item)) {
        return false;
      }
    }
    return true;
  }

  /// `each` over a value that must be an object or an array, refusing a
  /// value of any other type.
  template <class Container = od::object, class On>
  bool each_in(od::value& value, std::string_view expected, On&& on) {
    Container container;
    return open(value, container, expected) && each(container, on);
  }

  template <class Container>
  bool open(od::value& value, Container& out, std::string_view expected) {
    constexpr char opening = std::is_same_v<Container, od::object> ? '{' : '[';
    if (value.raw_json_token()[0] != opening) {
      return wrong_type(value.raw_json_token(), expected);
    }
    auto error = value.get(out);
    return !error || fail_library(error);
  }

  bool record(od::value& value, std::string_view expected, int depth, std::span<const Key> keys) {
    const char* at = location(value);
    od::object object;
    return open(value, object, expected) && fields(object, at, depth, keys);
  }

  /// Reads the members that `keys` name (a bit each in `seen`, in table
  /// order); every other member's value is checked and skipped.
  bool fields(od::object& object, const char* at, int depth, std::span<const Key> keys) {
    unsigned seen = 0;
    bool read = each(object, [&](od::field& field, std::string_view name) {
      auto key = std::ranges::find(keys, name, &Key::name);
      if (key == keys.end()) {
        return skip(field.value(), depth);
      }
      const unsigned bit = 1U << (key - keys.begin());
      if ((seen & bit) != 0) {
        return fail(location(field), fmt::format("duplicate field `{}`", name));
      }
      seen |= bit;
      bool null = key->use == Use::nullable && field.value().raw_json_token()[0] == 'n';
      return null ? skip(field.value(), depth) : key->read(field.value());
    });
    if (!read) {
      return false;
    }
    for (const Key& key : keys) {
      if (key.use == Use::required && (seen & 1U << (&key - keys.data())) == 0) {
        return fail(at, fmt::format("missing field `{}`", key.name));
      }
    }
    return true;
  }

  /// The reader of a value into `out`, chosen by the type of `out`.
  template <class T>
  auto into(T& out) {
    return [this, &out](od::value& value) { return read(value, out); };
  }

  bool read(od::value& value, std::string& out) {
    std::string_view token = trimmed(value.raw_json_token());
    if (token[0] != '"') {
      return wrong_type(token, "a string");
    }
    if (!check_string(token)) {
      return false;
    }
    std::string_view content = token.substr(1, token.size() - 2);
    if (content.find('\\') == std::string_view::npos) {
      out.assign(content);
      return close_scalar(token);
    }
    // `check_string` has refused every escape that unescaping could refuse.
    out.assign(value.get_string().value_unsafe());
    return true;
  }

  bool read(od::value& value, std::optional<std::string>& out) {
    return read(value, out.emplace());
  }

  bool read(od::value& value, std::int64_t& out) {
    std::string_view token = trimmed(value.raw_json_token());
    // A fraction is refused as the wrong type once `wrong_type` finds it a valid number.
    if (!starts_number(token[0]) || token.find_first_of(".eE") != std::string_view::npos) {
      return wrong_type(token, integer_expected);
    }
    if (!check_scalar(token)) {
      return false;
    }
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), out);
    if (error != std::errc{} || end != token.data() + token.size()) {
      return fail(token.data(),
                  fmt::format("invalid value: integer `{}`, expected {}", token, integer_expected));
    }
    return close_scalar(token);
  }

  bool read(od::value& value, std::vector<std::string>& parents) {
    return each_in<od::array>(value, "an array of strings", [&](od::value& parent) {
      return read(parent, parents.emplace_back());
    });
  }

  bool read(od::value& value, WindowUnit& unit) {
    const char* at = location(value);
    std::string name;
    if (!read(value, name)) {
      return false;
    }
    auto known = parse_unit(name);
    unit = known.value_or(unit);
    return known || fail(at, fmt::format("unknown variant `{}`, expected one of {}", name, units));
  }

  bool read(od::value& value, Overrides& overrides) {
    return each_in(value, "an object of integers", [&](od::field& field, std::string_view name) {
      return read(field.value(), overrides[std::string(name)]);
    });
  }

  /// The entries of "nodes" or "sources". A later entry under the same id
  /// replaces an earlier one, and a node that is not a model takes the
  /// earlier model out again. Sources win over nodes whichever of the two
  /// maps comes first in the file. A source keeps only its name: the other
  /// keys of a node, its own config among them, are not read for it.
  bool read_entries(od::value& value, Nodes& nodes, bool sources) {
    auto read_entry = [&](od::field& field, std::string_view id) {
      ManifestNode node;
      node.id = id;
      node.is_source = sources;
      std::string resource_type;
      auto depends_on = [&](od::value& object) {
        return record(object, "an object", 5, Keys{{"nodes", into(node.depends_on)}});
      };
      Keys keys = {{"name", into(node.name), Use::required},
                   {"resource_type", into(resource_type), Use::required},
                   {"depends_on", depends_on},
                   {"config", [&](od::value& config) { return read_config(config, node); }},
                   {"version", [&](od::value& v) { return read_version(v, node); }, Use::nullable}};
      if (!record(field.value(), sources ? "a source object" : "a node object", 4,
                  std::span(keys).first(sources ? 1 : keys.size()))) {
        return false;
      }
      auto found = nodes.find(node.id);
      if (!sources && found != nodes.end() && found->second.is_source) {
        return true;
      }
      if (sources || resource_type == "model") {
        nodes.insert_or_assign(std::string(id), std::move(node));
      } else if (found != nodes.end()) {
        nodes.erase(found);
      }
      return true;
    };
    return each_in(value, sources ? "an object of sources" : "an object of nodes", read_entry);
  }

  bool read_config(od::value& value, ManifestNode& node) {
    auto meta = [&](od::value& object) {
      auto read_tarn = [&](od::value& member) {
        TarnMeta& tarn = node.meta.emplace();
        return record(member, "an object", 7,
                      Keys{{"lookback", into(tarn.lookback)},
                           {"lookback_unit", into(tarn.lookback_unit)},
                           {"lookahead", into(tarn.lookahead)},
                           {"lookahead_unit", into(tarn.lookahead_unit)},
                           {"lookback_overrides", into(tarn.lookback_overrides)},
                           {"lookahead_overrides", into(tarn.lookahead_overrides)}});
      };
      return record(object, "an object", 6, Keys{{"tarn", read_tarn, Use::nullable}});
    };
    return record(value, "an object", 5,
                  Keys{{"event_time", into(node.event_time), Use::nullable},
                       {"meta", meta},
                       {"materialized", into(node.materialized), Use::nullable},
                       {"incremental_strategy", into(node.incremental_strategy), Use::nullable}});
  }

  /// dbt writes a model's version as an integer, a float or a string and
  /// shows the model as "{name}.v{version}"; the text after ".v" is kept,
  /// a number's exactly as written.
  bool read_version(od::value& value, ManifestNode& node) {
    std::string_view token = trimmed(value.raw_json_token());
    if (token[0] == '"') {
      return read(value, node.version.emplace());
    }
    if (!starts_number(token[0])) {
      return wrong_type(token, "an integer, a float or a string");
    }
    node.version = std::string(token);
    return check_scalar(token) && close_scalar(token);
  }

  bool fail(const char* at, std::string message) {
    if (at_ == nullptr) {
      at_ = at;
      message_ = std::move(message);
    }
    return false;
  }

  /// Refuses a token of the wrong type, unless it is not valid JSON at all.
  bool wrong_type(std::string_view token, std::string_view expected) {
    if (token[0] != '{' && token[0] != '[' && !check_scalar(token)) {
      return false;
    }
    return fail(token.data(),
                fmt::format("invalid type: {}, expected {}", describe(token), expected));
  }

  /// A failure reported by simdjson, placed at the iterator's position.
  bool fail_library(simdjson::error_code error) {
    const char* at = end();
    if (document_ != nullptr && error != simdjson::INCOMPLETE_ARRAY_OR_OBJECT) {
      if (auto location = document_->current_location(); !location.error()) {
        at = std::min(location.value_unsafe(), end());
      }
    }
    // Before a document exists the failure is about the text as a whole.
    bool ran_off = document_ != nullptr && at == end();
    return fail(at, ran_off ? "unexpected end of input" : library_message(error));
  }

  static const char* location(od::value& value) { return value.raw_json_token().data(); }
  static const char* location(od::field& field) { return field.key().raw() - 1; }
  const char* end() const { return text_.data() + text_.size(); }

  bool key_text(od::field& field, std::string_view& out) {
    const char* start = field.key().raw();
    // The index knows where the value starts. Between it and the key's
    // closing quote there is only the colon and blanks, which the iterator
    // has already checked, so a short walk back finds where the key ends.
    const char* end = field.value().raw_json_token().data();
    do {
      --end;
    } while (*end != '"');
    out = std::string_view(start, static_cast<std::size_t>(end - start));
    if (out.find('\\') != std::string_view::npos &&
        field.unescaped_key().get(out) != simdjson::SUCCESS) {
      return fail(start - 1, "invalid escape in string");
    }
    return true;
  }

  bool check_scalar(std::string_view raw) {
    std::string_view token = trimmed(raw);
    if (token[0] == '"') {
      return check_string(token);
    }
    if (std::string_view("tfn").contains(token[0])) {
      return token == "true" || token == "false" || token == "null" ||
             fail(token.data(), "invalid literal");
    }
    if (!starts_number(token[0])) {
      return fail(token.data(), "expected a value");
    }
    std::string_view fault = number_fault(token);
    return fault.empty() || fail(token.data(), std::string(fault));
  }

  /// A scalar that is only looked at stays unread, and On-Demand then jumps
  /// over it by counting brackets, which would let `"a":"b":"c"` through. The
  /// token runs up to the next structural character, which must close it.
  bool close_scalar(std::string_view token) {
    std::string_view rest(token.data() + token.size(), end());
    const char* next = rest.data() + std::min(rest.find_first_not_of(json_blanks), rest.size());
    if (next == end() || !std::string_view(",}]").contains(*next)) {
      return fail(next, std::string(structure_expected));
    }
    return true;
  }

  /// Checks the escapes of a string token. simdjson's index ends every
  /// string token at its closing quote, which is never escaped.
  bool check_string(std::string_view token) {
    std::string_view content = token.substr(1, token.size() - 2);
    for (std::size_t at = content.find('\\'); at != std::string_view::npos;) {
      std::size_t length = escape_length(content.substr(at + 1));
      if (length == 0) {
        return fail(content.data() + at, "invalid escape in string");
      }
      at = content.find('\\', at + length);
    }
    return true;
  }

  std::string_view text_;
  std::string message_;
  const char* at_ = nullptr;
  od::document* document_ = nullptr;
};

bool ManifestReader::read(od::document& document, Manifest& out) {
  document_ = &document;
  std::string_view first = document.raw_json_token().value_unsafe();  // never an error
  if (first[0] != '{') {
    return wrong_type(first, "a manifest object");
  }
  od::object root;
  if (auto error = document.get_object().get(root)) {
    // simdjson checks up front that the last token closes the top object.
    return error == simdjson::INCOMPLETE_ARRAY_OR_OBJECT
               ? fail(end(), "unexpected end of input, or text after the top object")
               : fail_library(error);
  }
  auto metadata = [&](od::value& value) {
    return record(value, "an object", 3,
                  Keys{{"generated_at", into(out.generated_at), Use::nullable}});
  };
  auto nodes = [&](od::value& value) { return read_entries(value, out.nodes, false); };
  auto sources = [&](od::value& value) { return read_entries(value, out.nodes, true); };
  if (!fields(
          root, first.data(), 2,
          Keys{{"nodes", nodes}, {"sources", sources}, {"metadata", metadata, Use::nullable}})) {
    return false;
  }
  auto trailing = document.current_location();
  return trailing.error() || fail(trailing.value_unsafe(), "trailing characters");
}

/// One pass over the text, checking every value against the JSON grammar,
/// the ones it does not keep included.
std::expected<Manifest, std::string> parse_padded(simdjson::padded_string_view json) {
  ManifestReader reader(json);
  od::parser parser;
  od::document document;
  if (auto error = parser.iterate(json).get(document)) {
    reader.fail_indexing(error);
    return std::unexpected(reader.detail());
  }
  Manifest manifest;
  // Nodes take a few kilobytes each in any manifest dbt writes; reserving on
  // that guess avoids most rehashing without holding much memory.
  manifest.nodes.reserve(json.size() / 8192 + 16);
  if (!reader.read(document, manifest)) {
    return std::unexpected(reader.detail());
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
    if (bool changed = text->changed(); changed || !valid_utf8) {
      return read_failure(changed ? "the file changed while it was being read"
                                  : "stream did not contain valid UTF-8");
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
