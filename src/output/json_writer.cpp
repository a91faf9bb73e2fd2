#include "output/json_writer.h"

#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#include "util/text.h"

// RapidJSON's writer writes each string and number here as a document of its
// own, and the nesting is kept by this class: the writer's own stack of open
// levels (RapidJSON 1.1.0) adds to a null pointer on its first push, which is
// undefined behaviour, and a scalar at the top level never pushes.

namespace tarn {
namespace {

using ScalarWriter = rapidjson::Writer<JsonWriter::Stream>;

/// RapidJSON writes the four digits of a "\\u" escape in upper case; the text
/// has them in lower case. Inside a written string every backslash starts an
/// escape, so walking from one to the next finds them all.
void lower_hex_escapes(std::string& text, std::size_t from) {
  for (std::size_t at = text.find('\\', from); at != std::string::npos && at + 1 < text.size();
       at = text.find('\\', at + (text[at + 1] == 'u' ? 6 : 2))) {
    for (std::size_t digit = at + 2; text[at + 1] == 'u' && digit < at + 6; ++digit) {
      text[digit] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[digit])));
    }
  }
}

}  // namespace

void JsonWriter::separate() {
  if (std::exchange(after_key_, false)) {
    out_.text += pretty_ ? ": " : ":";
  } else if (!level_has_items_.empty()) {
    if (level_has_items_.back()) {
      out_.text += ',';
    }
    level_has_items_.back() = true;
    if (pretty_) {
      out_.text += '\n';
      out_.text.append(2 * level_has_items_.size(), ' ');
    }
  }
}

void JsonWriter::open(char bracket) {
  separate();
  out_.text += bracket;
  level_has_items_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_items = level_has_items_.back();
  level_has_items_.pop_back();
  if (pretty_ && had_items) {
    out_.text += '\n';
    out_.text.append(2 * level_has_items_.size(), ' ');
  }
  out_.text += bracket;
}

void JsonWriter::value(std::string_view text) {
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
  const std::size_t start = out_.text.size();
  // RapidJSON counts in 32 bits; no name or message comes near that.
  ScalarWriter(out_).String(text.data(),
                            static_cast<rapidjson::SizeType>(std::min<std::size_t>(
                                text.size(), std::numeric_limits<rapidjson::SizeType>::max())));
  if (control) {
    lower_hex_escapes(out_.text, start);
  }
}

void JsonWriter::value(std::int64_t number) {
  separate();
  ScalarWriter(out_).Int64(number);
}

void JsonWriter::value(std::uint64_t number) {
  separate();
  ScalarWriter(out_).Uint64(number);
}

}  // namespace tarn
