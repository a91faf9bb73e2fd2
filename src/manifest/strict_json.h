#pragma once
// Strict reading on top of simdjson's On-Demand API. On-Demand checks only
// what it is asked to read and jumps over everything else by counting
// brackets; the reader here walks every value it does not keep and checks
// each scalar and key against the JSON grammar, so a manifest with a broken
// literal, number or escape deep inside an ignored key is still refused.
// Failures carry the offending token's position; line and column are worked
// out only when the message is rendered.

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::strict_json {

namespace od = simdjson::ondemand;

/// Levels of nesting allowed, the top object being level 1: simdjson's own
/// bound, which its iterator relies on. It also keeps the walk's recursion
/// shallow whatever the input.
inline constexpr int max_depth = 1024;

/// A fault that simdjson finds while indexing the whole document, before any
/// value is read: invalid UTF-8, a raw control character inside a string, or
/// a string that never closes. simdjson reports these without a position.
struct DocumentFault {
  std::size_t offset = 0;
  std::string_view message;  // empty when the text holds none of them
};

DocumentFault locate_document_fault(std::string_view text);

/// Reads one document; every check returns false once a failure is recorded,
/// and the first failure is kept.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  void attach(od::document& document) { document_ = &document; }

  /// Walks a value of any shape at the given level, checking it, keeping
  /// nothing.
  bool skip(od::value& value, int depth);

  /// Calls `on_field(field, key)` for each member, `key` unescaped; stops at
  /// the first false.
  template <class OnField>
  bool for_each_field(od::object& object, OnField&& on_field);

  template <class OnElement>
  bool for_each_element(od::array& array, OnElement&& on_element);

  bool read_object(od::value& value, od::object& out, std::string_view expected);
  bool read_array(od::value& value, od::array& out, std::string_view expected);
  bool read_string(od::value& value, std::string& out);
  bool read_integer(od::value& value, std::int64_t& out);
  /// A number's text exactly as written.
  bool read_number_text(od::value& value, std::string& out);

  /// Sets `null` when the value is the literal null.
  bool check_null(od::value& value, bool& null);

  /// A recorded key of a record: a second occurrence fails.
  bool first_occurrence(unsigned& seen, unsigned bit, od::field& field, std::string_view name);

  bool fail(const char* at, std::string message);
  bool wrong_type(od::value& value, std::string_view expected) {
    return wrong_type(value.raw_json_token(), expected);
  }
  /// Refuses a token of the wrong type, unless it is not valid JSON at all.
  bool wrong_type(std::string_view token, std::string_view expected);
  bool fail_at_end(std::string message) {
    return fail(text_.data() + text_.size(), std::move(message));
  }
  /// A failure reported by simdjson, placed at the iterator's position.
  bool fail_library(simdjson::error_code error);

  const char* location(od::value& value) { return value.raw_json_token().data(); }
  const char* location(od::field& field) { return field.key().raw() - 1; }

  /// The failure message followed by " at line L column C".
  std::string detail() const;

 private:
  /// The scalar type and text of a token as messages show it.
  std::string describe(std::string_view token) const;

  bool key_text(od::field& field, std::string_view& out);
  bool skip_object(od::value& value, int depth);
  bool skip_array(od::value& value, int depth);
  bool check_scalar(std::string_view token);
  bool close_scalar(std::string_view token);
  bool within_double_range(std::string_view token);
  bool check_string(std::string_view token);

  std::string_view text_;
  od::document* document_ = nullptr;
  std::string message_;
  const char* at_ = nullptr;
};

template <class OnField>
bool Reader::for_each_field(od::object& object, OnField&& on_field) {
  for (auto result : object) {
    if (auto error = result.error()) {
      return fail_library(error);
    }
    // Used in place: copying the field out of the result costs a stall.
    od::field& field = result.value_unsafe();
    std::string_view key;
    if (!key_text(field, key) || !on_field(field, key)) {
      return false;
    }
  }
  return true;
}

template <class OnElement>
bool Reader::for_each_element(od::array& array, OnElement&& on_element) {
  for (auto result : array) {
    if (auto error = result.error()) {
      return fail_library(error);
    }
    od::value& element = result.value_unsafe();
    if (!on_element(element)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarn::strict_json
