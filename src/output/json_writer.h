#pragma once
// JSON text written in one pass, members in the order they are written:
// compact, or pretty with two spaces per level and "[]" or "{}" when empty.
// Bytes that are not UTF-8 become U+FFFD; a control character without a short
// escape is written as \u00xx with lower-case digits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

class JsonWriter {
 public:
  enum class Layout { compact, pretty };

  /// Room for `expected_size` bytes is taken up front, so that a document of
  /// about that size is never copied while it grows.
  JsonWriter(Layout layout, std::size_t expected_size) : pretty_(layout == Layout::pretty) {
    out_.text.reserve(expected_size);
  }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name) {
    value(name);
    after_key_ = true;
  }
  void value(std::string_view text);
  void value(std::int64_t number);
  void value(std::uint64_t number);
  void value(const std::vector<std::string>& texts) {
    begin_array();
    for (const std::string& text : texts) {
      value(text);
    }
    end_array();
  }

  template <typename T>
  void member(std::string_view name, const T& v) {
    key(name);
    value(v);
  }

  std::string take() && { return std::move(out_.text); }

  /// The stream RapidJSON's writer puts characters into.
  struct Stream {
    using Ch = char;
    std::string text;
    void Put(char c) { text.push_back(c); }
    void Flush() {}
  };

 private:
  /// The comma, line break and indent before a key or an array item, or
  /// the colon before a member's value.
  void separate();
  void open(char bracket);
  void close(char bracket);

  Stream out_;
  bool pretty_;
  bool after_key_ = false;
  std::vector<bool> level_has_items_;  // one per open object or array
};

}  // namespace tarn
