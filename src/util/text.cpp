#include "util/text.h"

#include <algorithm>
#include <charconv>
#include <system_error>

namespace tarn {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

struct DecodedChar {
  char32_t code_point = 0;
  std::size_t length = 0;  // bytes consumed; an invalid subsequence yields no code point
  bool valid = false;
};

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
  if (lead < 0xC2 || lead > 0xF4) {
    return {0, 1, false};
  }
  const std::size_t needed = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t code_point = lead & (0x7F >> (needed + 1));
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  std::size_t length = 1;
  for (; length <= needed; ++length) {
    const auto byte = length < bytes.size() ? static_cast<unsigned char>(bytes[length]) : 0;
    const bool second = length == 1;
    if (byte < (second ? low : 0x80) || byte > (second ? high : 0xBF)) {
      return {0, length, false};
    }
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  return {code_point, length, true};
}

bool is_white_space(const DecodedChar& c) {
  const char32_t u = c.code_point;
  return c.valid && ((u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x85 || u == 0xA0 ||
                     u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 ||
                     u == 0x202F || u == 0x205F || u == 0x3000);
}

std::string escaped_control(char32_t c) {
  // The controls with a short form, and its letters in the same order.
  constexpr std::u32string_view short_forms(U"\n\t\r\0", 4);
  if (const std::size_t at = short_forms.find(c); at != short_forms.npos) {
    return {'\\', "ntr0"[at]};
  }
  char hex[8];
  return "\\u{" + std::string(hex, std::to_chars(hex, hex + 8, std::uint32_t{c}, 16).ptr) + "}";
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const DecodedChar decoded = decode_one(bytes);
    out.append(decoded.valid ? bytes.substr(0, decoded.length) : replacement_character);
    bytes.remove_prefix(decoded.length);
  }
  return out;
}

// A decoding from the start finds the same character boundaries as any
// other: a sequence never takes in a byte that could begin one.
std::string_view trim_whitespace(std::string_view text) {
  std::size_t start = text.size();
  std::size_t end = 0;
  for (std::size_t at = 0; at < text.size();) {
    const DecodedChar decoded = decode_one(text.substr(at));
    if (!is_white_space(decoded)) {
      start = std::min(start, at);
      end = at + decoded.length;
    }
    at += decoded.length;
  }
  return text.substr(start, start < end ? end - start : 0);
}

std::string display_path(const std::filesystem::path& path) {
  return decode_lossy(path.native());
}

std::optional<std::filesystem::path> lexical_parent(const std::filesystem::path& path) {
  const bool trailing_separator = !path.has_filename() && path.has_relative_path();
  const std::filesystem::path named = trailing_separator ? path.parent_path() : path;
  return named.has_relative_path() ? std::optional(named.parent_path()) : std::nullopt;
}

std::string quoted_value(std::string_view value) {
  std::string out = "\"";
  while (!value.empty()) {
    const DecodedChar decoded = decode_one(value);
    const char32_t c = decoded.code_point;
    if (!decoded.valid) {
      // Stray bytes are never copied into a message as they are.
      out += replacement_character;
    } else if (c == U'"' || c == U'\\') {
      out.append({'\\', static_cast<char>(c)});
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += escaped_control(c);
    } else {
      out.append(value.substr(0, decoded.length));
    }
    value.remove_prefix(decoded.length);
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
