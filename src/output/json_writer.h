#pragma once
// JSON text written in one pass, members in the order they are written:
// compact, or pretty with two spaces per level and "[]" or "{}" when empty.
// Bytes that are not UTF-8 become U+FFFD; a control character without a short
// escape is written as \u00xx with lower-case digits.

#include <algorithm>
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
  JsonWriter(Layout layout, std::size_t expected_size);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);
  void string(std::string_view text);
  void number(std::int64_t value);
  void number(std::uint64_t value);

  void member(std::string_view name, std::string_view text) {
    key(name);
    string(text);
  }
  void member(std::string_view name, std::int64_t value) {
    key(name);
    number(value);
  }

  /// The text written so far.
  std::string take() &&;

  /// The stream RapidJSON's writer puts characters into: a string kept
  /// sized ahead of the writer, which reserves room before each token.
  struct Stream {
    using Ch = char;
    std::string text;
    char* next = nullptr;
    char* end = nullptr;

    std::size_t used() const { return static_cast<std::size_t>(next - text.data()); }
    void Reserve(std::size_t count) {
      if (static_cast<std::size_t>(end - next) < count) {
        const std::size_t used = this->used();
        text.resize(std::max(text.size() * 2, used + count));
        next = text.data() + used;
        end = text.data() + text.size();
      }
    }
    void PutUnsafe(char c) { *next++ = c; }
    void Put(char c) {
      Reserve(1);
      PutUnsafe(c);
    }
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
