#include "manifest/strict_json.h"

#include "util/text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tarn::strict_json {
namespace {

constexpr std::string_view integer_expected = "a signed 64-bit integer";

bool is_json_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

/// simdjson's raw tokens run up to the next token, blanks included.
std::string_view trimmed(std::string_view token) {
  while (!token.empty() && is_json_space(token.back())) {
    token.remove_suffix(1);
  }
  return token;
}

/// A token as messages quote it: long texts are cut on a character border.
std::string shortened(std::string_view token) {
  constexpr std::size_t limit = 64;
  if (token.size() <= limit) {
    return std::string(token);
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(token[end]) & 0xC0) == 0x80) {
    --end;
  }
  return std::string(token.substr(0, end)) + "...";
}

std::optional<std::uint32_t> hex_unit(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) {
    return std::nullopt;
  }
  std::uint32_t unit = 0;
  for (char c : text.substr(at, 4)) {
    unit <<= 4;
    if (is_digit(c)) {
      unit |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      unit |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      unit |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return unit;
}

/// Where the escape starting with the backslash at `at` ends, or npos when it
/// is not a valid escape. A \u escape of a UTF-16 surrogate must form a pair.
std::size_t escape_end(std::string_view text, std::size_t at) {
  constexpr auto npos = std::string_view::npos;
  if (at + 1 >= text.size()) {
    return npos;
  }
  switch (text[at + 1]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return at + 2;
    case 'u':
      break;
    default:
      return npos;
  }
  auto unit = hex_unit(text, at + 2);
  if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) {
    return npos;
  }
  if (*unit < 0xD800 || *unit > 0xDBFF) {
    return at + 6;
  }
  if (at + 8 > text.size() || text[at + 6] != '\\' || text[at + 7] != 'u') {
    return npos;
  }
  auto low = hex_unit(text, at + 8);
  if (!low || *low < 0xDC00 || *low > 0xDFFF) {
    return npos;
  }
  return at + 12;
}

std::size_t first_invalid_escape(std::string_view content) {
  for (std::size_t at = content.find('\\'); at != std::string_view::npos;) {
    std::size_t end = escape_end(content, at);
    if (end == std::string_view::npos) {
      return at;
    }
    at = content.find('\\', end);
  }
  return std::string_view::npos;
}

/// Whether `token` (no surrounding whitespace) is a JSON number.
bool is_json_number(std::string_view token) {
  std::size_t i = 0;
  auto digits = [&] {
    std::size_t start = i;
    while (i < token.size() && is_digit(token[i])) {
      ++i;
    }
    return i > start;
  };
  if (i < token.size() && token[i] == '-') {
    ++i;
  }
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (!digits()) {
      return false;
    }
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
      ++i;
    }
    if (!digits()) {
      return false;
    }
  }
  return i == token.size();
}

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

/// Length of the UTF-8 sequence at `at`, or 0 when it is not valid (overlong
/// forms and surrogates included).
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
  };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(byte(i))) {
      return 0;
    }
  }
  return length;
}

std::string library_message(simdjson::error_code error) {
  switch (error) {
    case simdjson::TAPE_ERROR:
      return "expected `,` `:` `}` or `]`, or a key";
    case simdjson::EMPTY:
      return "empty document";
    default:
      break;
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

}  // namespace

DocumentFault locate_document_fault(std::string_view text) {
  bool in_string = false;
  std::size_t string_start = 0;
  for (std::size_t at = 0; at < text.size();) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      std::size_t length = utf8_sequence_length(text, at);
      if (length == 0) {
        return {at, "invalid UTF-8"};
      }
      at += length;
      continue;
    }
    if (in_string && c == '\\') {
      at += at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) < 0x80 ? 2 : 1;
      continue;
    }
    if (in_string && c < 0x20) {
      return {at, "control character in string"};
    }
    if (c == '"') {
      in_string = !in_string;
      string_start = at;
    }
    ++at;
  }
  if (in_string) {
    return {string_start, "unclosed string"};
  }
  return {text.size(), ""};
}

bool Reader::skip(od::value& value, int depth) {
  std::string_view token = value.raw_json_token();
  switch (token[0]) {
    case '{':
      return skip_object(value, depth);
    case '[':
      return skip_array(value, depth);
    default:
      return check_scalar(token) && close_scalar(token);
  }
}

bool Reader::close_scalar(std::string_view token) {
  // A scalar that is only looked at stays unread, and On-Demand then jumps
  // over it by counting brackets, which would let `"a":"b":"c"` through. The
  // token runs up to the next structural character, which must close it.
  const char* next = token.data() + token.size();
  const char* end = text_.data() + text_.size();
  while (next != end && (*next == ' ' || *next == '\t' || *next == '\n' || *next == '\r')) {
    ++next;
  }
  if (next == end || (*next != ',' && *next != '}' && *next != ']')) {
    return fail(next, library_message(simdjson::TAPE_ERROR));
  }
  return true;
}

bool Reader::within_double_range(std::string_view token) {
  // Numbers too large for a double are refused, as most JSON readers do;
  // only a long token or one with an exponent can be one.
  std::string_view number = trimmed(token);
  if (number.size() < 300 && number.find_first_of("eE") == std::string_view::npos) {
    return true;
  }
  const std::string copy(number);
  return std::isfinite(std::strtod(copy.c_str(), nullptr)) ||
         fail(number.data(), "number out of range");
}

bool Reader::skip_object(od::value& value, int depth) {
  if (depth + 1 >= max_depth) {
    return fail(location(value), "recursion limit exceeded");
  }
  od::object object;
  if (auto error = value.get_object().get(object)) {
    return fail_library(error);
  }
  return for_each_field(
      object, [&](od::field& field, std::string_view) { return skip(field.value(), depth + 1); });
}

bool Reader::skip_array(od::value& value, int depth) {
  if (depth + 1 >= max_depth) {
    return fail(location(value), "recursion limit exceeded");
  }
  od::array array;
  if (auto error = value.get_array().get(array)) {
    return fail_library(error);
  }
  return for_each_element(array, [&](od::value& element) { return skip(element, depth + 1); });
}

bool Reader::check_scalar(std::string_view raw) {
  std::string_view token = trimmed(raw);
  switch (token[0]) {
    case '"':
      return check_string(token);
    case 't':
    case 'f':
    case 'n':
      return token == "true" || token == "false" || token == "null" ||
             fail(token.data(), "invalid literal");
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return (is_json_number(token) || fail(token.data(), "invalid number")) &&
             within_double_range(token);
    default:
      return fail(token.data(), "expected a value");
  }
}

bool Reader::check_string(std::string_view token) {
  if (token.size() < 2 || token.back() != '"') {
    return fail(token.data(), "invalid string");
  }
  std::string_view content = token.substr(1, token.size() - 2);
  std::size_t bad = first_invalid_escape(content);
  return bad == std::string_view::npos || fail(content.data() + bad, "invalid escape in string");
}

bool Reader::key_text(od::field& field, std::string_view& out) {
  const char* start = field.key().raw();
  // The index knows where the value starts. Between it and the key's
  // closing quote there is only the colon and blanks, which the iterator
  // has already checked, so a short walk back finds where the key ends.
  const char* end = field.value().raw_json_token().data();
  do {
    --end;
  } while (*end != '"');
  std::string_view content(start, static_cast<std::size_t>(end - start));
  if (content.find('\\') == std::string_view::npos) {
    out = content;
    return true;
  }
  if (field.unescaped_key().get(out) != simdjson::SUCCESS) {
    return fail(start - 1, "invalid escape in string");
  }
  return true;
}

bool Reader::read_object(od::value& value, od::object& out, std::string_view expected) {
  if (value.raw_json_token()[0] != '{') {
    return wrong_type(value, expected);
  }
  if (auto error = value.get_object().get(out)) {
    return fail_library(error);
  }
  return true;
}

bool Reader::read_array(od::value& value, od::array& out, std::string_view expected) {
  if (value.raw_json_token()[0] != '[') {
    return wrong_type(value, expected);
  }
  if (auto error = value.get_array().get(out)) {
    return fail_library(error);
  }
  return true;
}

bool Reader::read_string(od::value& value, std::string& out) {
  std::string_view token = trimmed(value.raw_json_token());
  if (token[0] != '"') {
    return wrong_type(value, "a string");
  }
  if (!check_string(token)) {
    return false;
  }
  std::string_view content = token.substr(1, token.size() - 2);
  if (content.find('\\') == std::string_view::npos) {
    out.assign(content);
    return close_scalar(token);
  }
  if (value.get_string().get(content) != simdjson::SUCCESS) {
    return fail(token.data(), "invalid escape in string");
  }
  out.assign(content);
  return true;
}

bool Reader::read_integer(od::value& value, std::int64_t& out) {
  std::string_view token = trimmed(value.raw_json_token());
  if (token[0] != '-' && !is_digit(token[0])) {
    return wrong_type(value, integer_expected);
  }
  if (!check_scalar(token)) {
    return false;
  }
  if (token.find_first_of(".eE") != std::string_view::npos) {
    return wrong_type(value, integer_expected);
  }
  auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), out);
  if (error != std::errc{} || end != token.data() + token.size()) {
    return fail(token.data(),
                fmt::format("invalid value: integer `{}`, expected {}", token, integer_expected));
  }
  return close_scalar(token);
}

bool Reader::read_number_text(od::value& value, std::string& out) {
  std::string_view token = trimmed(value.raw_json_token());
  if (token[0] != '-' && !is_digit(token[0])) {
    return wrong_type(value, "a number");
  }
  if (!check_scalar(token)) {
    return false;
  }
  out.assign(token);
  return close_scalar(token);
}

bool Reader::check_null(od::value& value, bool& null) {
  std::string_view token = value.raw_json_token();
  null = false;
  if (token[0] != 'n') {
    return true;
  }
  // Set only once the literal is known to be null: callers treat a set flag
  // as "nothing more to read".
  null = check_scalar(token) && close_scalar(token);
  return null;
}

bool Reader::first_occurrence(unsigned& seen, unsigned bit, od::field& field,
                              std::string_view name) {
  if ((seen & bit) != 0) {
    return fail(location(field), fmt::format("duplicate field `{}`", name));
  }
  seen |= bit;
  return true;
}

bool Reader::fail(const char* at, std::string message) {
  if (at_ == nullptr) {
    at_ = at;
    message_ = std::move(message);
  }
  return false;
}

bool Reader::wrong_type(std::string_view token, std::string_view expected) {
  if (token[0] != '{' && token[0] != '[' && !check_scalar(token)) {
    return false;
  }
  return fail(token.data(),
              fmt::format("invalid type: {}, expected {}", describe(token), expected));
}

bool Reader::fail_library(simdjson::error_code error) {
  const char* end = text_.data() + text_.size();
  const char* at = end;
  if (document_ != nullptr && error != simdjson::INCOMPLETE_ARRAY_OR_OBJECT) {
    if (auto location = document_->current_location(); !location.error()) {
      at = std::min(location.value_unsafe(), end);
    }
  }
  // Before a document exists the failure is about the text as a whole.
  bool ran_off = document_ != nullptr && at == end;
  return fail(at, ran_off ? "unexpected end of input" : library_message(error));
}

std::string Reader::describe(std::string_view raw) const {
  std::string_view token = trimmed(raw);
  switch (token[0]) {
    case '{':
      return "object";
    case '[':
      return "array";
    case 'n':
      return "null";
    case 't':
    case 'f':
      return fmt::format("boolean `{}`", token);
    case '"':
      return fmt::format("string {}", shortened(token));
    default:
      break;
  }
  bool fractional = token.find_first_of(".eE") != std::string_view::npos;
  return fmt::format("{} `{}`", fractional ? "floating point" : "integer", shortened(token));
}

std::string Reader::detail() const {
  const char* at = at_ == nullptr ? text_.data() : at_;
  auto offset = static_cast<std::size_t>(at - text_.data());
  return fmt::format("{} at {}", message_, line_and_column(text_, offset));
}

}  // namespace tarn::strict_json
