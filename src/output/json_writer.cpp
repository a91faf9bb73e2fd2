#include "output/json_writer.h"

#include <rapidjson/writer.h>

#include <limits>

#include "util/text.h"

// RapidJSON's writer writes each string and number here as a document of its
// own, and the nesting is kept by this class: the writer's own stack of open
// levels (RapidJSON 1.1.0) adds to a null pointer on its first push, which is
// undefined behaviour, and a scalar at the top level never pushes.

namespace tarn {

// RapidJSON's writer reaches its stream through these two functions, found
// here by argument-dependent lookup in preference to its generic ones, which
// would go through Put for every character.
void PutReserve(JsonWriter::Stream& stream, std::size_t count) {
  stream.Reserve(count);
}
void PutUnsafe(JsonWriter::Stream& stream, char c) {
  stream.PutUnsafe(c);
}

namespace {

using ScalarWriter = rapidjson::Writer<JsonWriter::Stream>;

/// RapidJSON writes the four digits of a "\\u" escape in upper case; the text
/// has them in lower case. Inside a written string every backslash starts an
/// escape, so walking from one to the next finds them all.
void lower_hex_escapes(char* begin, char* end) {
  for (char* at = begin; at + 1 < end; ++at) {
    if (*at != '\\') {
      continue;
    }
    if (at[1] == 'u') {
      for (char* digit = at + 2; digit < at + 6 && digit < end; ++digit) {
        *digit = (*digit >= 'A' && *digit <= 'F') ? static_cast<char>(*digit - 'A' + 'a') : *digit;
      }
      at += 5;
    } else {
      at += 1;
    }
  }
}

}  // namespace

JsonWriter::JsonWriter(Layout layout, std::size_t expected_size)
    : pretty_(layout == Layout::pretty) {
  out_.text.resize(std::max<std::size_t>(expected_size, 1));
  out_.next = out_.text.data();
  out_.end = out_.text.data() + out_.text.size();
}

void JsonWriter::separate() {
  if (std::exchange(after_key_, false)) {
    out_.Reserve(2);
    out_.PutUnsafe(':');
    if (pretty_) {
      out_.PutUnsafe(' ');
    }
    return;
  }
  if (level_has_items_.empty()) {
    return;
  }
  const std::size_t indent = pretty_ ? 2 * level_has_items_.size() : 0;
  out_.Reserve(2 + indent);
  if (level_has_items_.back()) {
    out_.PutUnsafe(',');
  }
  if (pretty_) {
    out_.PutUnsafe('\n');
    for (std::size_t i = 0; i < indent; ++i) {
      out_.PutUnsafe(' ');
    }
  }
  level_has_items_.back() = true;
}

void JsonWriter::open(char bracket) {
  separate();
  out_.Put(bracket);
  level_has_items_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_items = level_has_items_.back();
  level_has_items_.pop_back();
  const std::size_t indent = 2 * level_has_items_.size();
  out_.Reserve(2 + indent);
  if (pretty_ && had_items) {
    out_.PutUnsafe('\n');
    for (std::size_t i = 0; i < indent; ++i) {
      out_.PutUnsafe(' ');
    }
  }
  out_.PutUnsafe(bracket);
}

void JsonWriter::begin_object() {
  open('{');
}
void JsonWriter::end_object() {
  close('}');
}
void JsonWriter::begin_array() {
  open('[');
}
void JsonWriter::end_array() {
  close(']');
}

void JsonWriter::key(std::string_view name) {
  string(name);
  after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
  separate();
  // Branch-free, so that the compiler can check many bytes at a time.
  unsigned char high = 0;
  bool control = false;
  for (const char c : text) {
    high |= static_cast<unsigned char>(c);
    control |= static_cast<unsigned char>(c) < 0x20;
  }
  std::string decoded;
  if (high >= 0x80) {
    decoded = decode_lossy(text);
    text = decoded;
  }
  const std::size_t start = out_.used();
  // RapidJSON counts in 32 bits; no name or message comes near that.
  ScalarWriter(out_).String(text.data(),
                            static_cast<rapidjson::SizeType>(std::min<std::size_t>(
                                text.size(), std::numeric_limits<rapidjson::SizeType>::max())));
  if (control) {
    lower_hex_escapes(out_.text.data() + start, out_.next);
  }
}

void JsonWriter::number(std::int64_t value) {
  separate();
  ScalarWriter(out_).Int64(value);
}

void JsonWriter::number(std::uint64_t value) {
  separate();
  ScalarWriter(out_).Uint64(value);
}

std::string JsonWriter::take() && {
  out_.text.resize(out_.used());
  return std::move(out_.text);
}

}  // namespace tarn
