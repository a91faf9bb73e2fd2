#pragma once
// Strict reading on top of simdjson's On-Demand API, which checks only what it
// is asked to read and jumps over the rest by counting brackets: this reader
// checks every value it passes against the JSON grammar, so a broken literal,
// number or escape inside an ignored key is still refused. A failure keeps the
// offending token's position; line and column are worked out for the message.

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarn::strict_json {

namespace od = simdjson::ondemand;

/// Levels of nesting allowed, the top object being level 1: simdjson's own
/// bound, which its iterator relies on.
inline constexpr int max_depth = 1024;

/// Reads one document and keeps its first failure; every check returns false
/// once a failure is recorded.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  void attach(od::document& document) { document_ = &document; }

  /// Checks a value of any shape at nesting level `depth`, keeping nothing.
  bool skip(od::value& value, int depth);

  /// Calls `on(field, key)` for each member of an object, `key` unescaped, or
  /// `on(element)` for each element of an array; stops at the first false.
  template <class Container, class On>
  bool each(Container& container, On&& on);

  /// Opens an object or an array, refusing a value of any other type.
  template <class Container>
  bool open(od::value& value, Container& out, std::string_view expected);

  bool read_string(od::value& value, std::string& out);
  bool read_integer(od::value& value, std::int64_t& out);
  /// A number's text exactly as written.
  bool read_number_text(od::value& value, std::string& out);

  bool fail(const char* at, std::string message);
  /// Refuses a token of the wrong type, unless it is not valid JSON at all.
  bool wrong_type(std::string_view token, std::string_view expected);
  /// A failure reported by simdjson, placed at the iterator's position.
  bool fail_library(simdjson::error_code error);
  /// A failure of simdjson's indexing of the whole text, which it reports
  /// without a position: placed at the first fault in the text.
  bool fail_indexing(simdjson::error_code error);

  static const char* location(od::value& value) { return value.raw_json_token().data(); }
  static const char* location(od::field& field) { return field.key().raw() - 1; }
  const char* end() const { return text_.data() + text_.size(); }

  /// The failure message followed by " at line L column C".
  std::string detail() const;

 private:
  bool key_text(od::field& field, std::string_view& out);
  bool check_scalar(std::string_view token);
  bool close_scalar(std::string_view token);
  bool check_string(std::string_view token);

  std::string_view text_;
  od::document* document_ = nullptr;
  std::string message_;
  const char* at_ = nullptr;
};

template <class Container, class On>
bool Reader::each(Container& container, On&& on) {
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

template <class Container>
bool Reader::open(od::value& value, Container& out, std::string_view expected) {
  constexpr char opening = std::is_same_v<Container, od::object> ? '{' : '[';
  if (value.raw_json_token()[0] != opening) {
    return wrong_type(value.raw_json_token(), expected);
  }
  if (auto error = value.get(out)) {
    return fail_library(error);
  }
  return true;
}

}  // namespace tarn::strict_json
