#include "util/text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <system_error>

namespace tarn {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

struct DecodedChar {
  char32_t code_point = 0;
  std::size_t length = 0;  // bytes consumed; an invalid subsequence yields no code point
  bool valid = false;
};

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

/// Decodes one character at the start of `bytes`. When the bytes are not a
/// well-formed sequence, `length` is the maximal subpart to replace by one
/// U+FFFD: the lead byte plus every continuation byte that could still have
/// completed a valid sequence. The second byte's allowed range excludes
/// overlong forms, surrogates and code points above U+10FFFF.
DecodedChar decode_one(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) {
    return {lead, 1, true};
  }
  std::size_t needed = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    code_point = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    code_point = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {0, 1, false};
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < needed; ++i) {
    if (length >= bytes.size()) {
      return {0, length, false};
    }
    const auto byte = static_cast<unsigned char>(bytes[length]);
    const bool in_range = i == 0 ? (byte >= low && byte <= high) : is_continuation(byte);
    if (!in_range) {
      return {0, length, false};
    }
    code_point = (code_point << 6) | (byte & 0x3F);
    ++length;
  }
  return {code_point, length, true};
}

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr std::array<CodePointRange, 10> white_space_ranges{{
    {0x0009, 0x000D},
    {0x0020, 0x0020},
    {0x0085, 0x0085},
    {0x00A0, 0x00A0},
    {0x1680, 0x1680},
    {0x2000, 0x200A},
    {0x2028, 0x2029},
    {0x202F, 0x202F},
    {0x205F, 0x205F},
    {0x3000, 0x3000},
}};

bool is_white_space(char32_t c) {
  for (const auto& range : white_space_ranges) {
    if (c >= range.first && c <= range.last) {
      return true;
    }
  }
  return false;
}

/// The length of the whitespace character that ends `text`, or 0. UTF-8 is
/// self-synchronising, so looking at most four bytes back for a lead byte
/// finds the last character without decoding from the start.
std::size_t trailing_white_space_length(std::string_view text) {
  const std::size_t limit = std::min<std::size_t>(4, text.size());
  for (std::size_t length = 1; length <= limit; ++length) {
    const auto byte = static_cast<unsigned char>(text[text.size() - length]);
    if (is_continuation(byte)) {
      continue;
    }
    const DecodedChar decoded = decode_one(text.substr(text.size() - length));
    const bool whole = decoded.valid && decoded.length == length;
    return whole && is_white_space(decoded.code_point) ? length : 0;
  }
  return 0;
}

bool is_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

void append_hex(std::string& out, char32_t value) {
  static constexpr std::string_view digits = "0123456789abcdef";
  std::string reversed;
  do {
    reversed.push_back(digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  out.append(reversed.rbegin(), reversed.rend());
}

void append_escaped_control(std::string& out, char32_t c) {
  switch (c) {
    case U'\n':
      out += "\\n";
      return;
    case U'\t':
      out += "\\t";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\0':
      out += "\\0";
      return;
    default:
      out += "\\u{";
      append_hex(out, c);
      out += '}';
  }
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const DecodedChar decoded = decode_one(bytes);
    if (decoded.valid) {
      out.append(bytes.substr(0, decoded.length));
    } else {
      out.append(replacement_character);
    }
    bytes.remove_prefix(decoded.length);
  }
  return out;
}

std::string_view trim_whitespace(std::string_view text) {
  while (!text.empty()) {
    const DecodedChar decoded = decode_one(text);
    if (!decoded.valid || !is_white_space(decoded.code_point)) {
      break;
    }
    text.remove_prefix(decoded.length);
  }
  while (const std::size_t length = trailing_white_space_length(text)) {
    text.remove_suffix(length);
  }
  return text;
}

std::string display_path(const std::filesystem::path& path) {
  return decode_lossy(path.native());
}

std::string quoted_value(std::string_view value) {
  // Decoding first keeps stray bytes from being copied into a message as-is.
  const std::string text = decode_lossy(value);
  std::string out = "\"";
  std::string_view rest = text;
  while (!rest.empty()) {
    const DecodedChar decoded = decode_one(rest);
    const char32_t c = decoded.code_point;
    if (c == U'"' || c == U'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (is_control(c)) {
      append_escaped_control(out, c);
    } else {
      out.append(rest.substr(0, decoded.length));
    }
    rest.remove_prefix(decoded.length);
  }
  out += '"';
  return out;
}

std::string system_error_text(int code) {
  return std::system_category().message(code);
}

std::string os_error_text(int code) {
  return system_error_text(code) + " (os error " + std::to_string(code) + ")";
}

std::string line_and_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (const char c : text.substr(0, std::min(offset, text.size()))) {
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace tarn
