#include "manifest/strict_json.h"

#include "util/text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace tarn::strict_json {
namespace {

constexpr std::string_view integer_expected = "a signed 64-bit integer";
constexpr std::string_view structure_expected = "expected `,` `:` `}` or `]`, or a key";

bool is_json_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool starts_number(char c) {
  return c == '-' || is_digit(c);
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

/// The UTF-16 unit spelled by the four hex digits at `at`.
std::optional<std::uint32_t> hex_unit(std::string_view text, std::size_t at) {
  std::uint32_t unit = 0;
  if (at + 4 > text.size()) {
    return std::nullopt;
  }
  auto [end, error] = std::from_chars(text.data() + at, text.data() + at + 4, unit, 16);
  if (error != std::errc{} || end != text.data() + at + 4) {
    return std::nullopt;
  }
  return unit;
}

bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

/// Where the escape starting with the backslash at `at` ends, or npos when it
/// is not a valid escape. A \u escape of a UTF-16 surrogate must form a pair.
std::size_t escape_end(std::string_view text, std::size_t at) {
  constexpr auto npos = std::string_view::npos;
  if (at + 1 >= text.size() || text[at + 1] != 'u') {
    return at + 1 < text.size() && std::string_view(R"("\/bfnrt)").contains(text[at + 1]) ? at + 2
                                                                                          : npos;
  }
  auto unit = hex_unit(text, at + 2);
  if (!unit || is_low_surrogate(*unit)) {
    return npos;
  }
  if (*unit < 0xD800 || *unit > 0xDBFF) {
    return at + 6;
  }
  auto low = text.substr(at + 6).starts_with("\\u") ? hex_unit(text, at + 8) : std::nullopt;
  return low && is_low_surrogate(*low) ? at + 12 : npos;
}

/// Whether `token` (no surrounding blanks) is a JSON number.
bool is_json_number(std::string_view token) {
  std::size_t i = 0;
  auto take = [&](std::string_view chars) {
    bool taken = i < token.size() && chars.contains(token[i]);
    i += taken ? 1 : 0;
    return taken;
  };
  auto digits = [&] {
    std::size_t start = i;
    while (take("0123456789")) {
    }
    return i > start;
  };
  take("-");
  if (!take("0") && !digits()) {
    return false;
  }
  if (take(".") && !digits()) {
    return false;
  }
  if (take("eE")) {
    take("+-");
    if (!digits()) {
      return false;
    }
  }
  return i == token.size();
}

/// Length of the UTF-8 sequence at `at`, or 0 when it is not valid.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  bool valid = at + length <= text.size() && simdjson::validate_utf8(text.data() + at, length);
  return valid ? length : 0;
}

std::string library_message(simdjson::error_code error) {
  if (error == simdjson::TAPE_ERROR) {
    return std::string(structure_expected);
  }
  if (error == simdjson::EMPTY) {
    return "empty document";
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

}  // namespace

bool Reader::fail_indexing(simdjson::error_code error) {
  bool in_string = false;
  std::size_t string_start = 0;
  for (std::size_t at = 0; at < text_.size();) {
    auto c = static_cast<unsigned char>(text_[at]);
    if (c >= 0x80) {
      std::size_t length = utf8_length(text_, at);
      if (length == 0) {
        return fail(text_.data() + at, "invalid UTF-8");
      }
      at += length;
      continue;
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
    ++at;
  }
  return in_string ? fail(text_.data() + string_start, "unclosed string") : fail_library(error);
}

bool Reader::skip(od::value& value, int depth) {
  std::string_view token = value.raw_json_token();
  if (token[0] != '{' && token[0] != '[') {
    return check_scalar(token) && close_scalar(token);
  }
  if (depth + 1 >= max_depth) {
    return fail(token.data(), "recursion limit exceeded");
  }
  if (token[0] == '{') {
    od::object object;
    return open(value, object, "") && each(object, [&](od::field& field, std::string_view) {
             return skip(field.value(), depth + 1);
           });
  }
  od::array array;
  return open(value, array, "") &&
         each(array, [&](od::value& element) { return skip(element, depth + 1); });
}

bool Reader::close_scalar(std::string_view token) {
  // A scalar that is only looked at stays unread, and On-Demand then jumps
  // over it by counting brackets, which would let `"a":"b":"c"` through. The
  // token runs up to the next structural character, which must close it.
  const char* next = token.data() + token.size();
  while (next != end() && is_json_space(*next)) {
    ++next;
  }
  if (next == end() || (*next != ',' && *next != '}' && *next != ']')) {
    return fail(next, std::string(structure_expected));
  }
  return true;
}

bool Reader::check_scalar(std::string_view raw) {
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
  if (!is_json_number(token)) {
    return fail(token.data(), "invalid number");
  }
  // Numbers too large for a double are refused, as most JSON readers do;
  // only a long token or one with an exponent can be one.
  if (token.size() < 300 && token.find_first_of("eE") == std::string_view::npos) {
    return true;
  }
  const std::string copy(token);
  return std::isfinite(std::strtod(copy.c_str(), nullptr)) ||
         fail(token.data(), "number out of range");
}

bool Reader::check_string(std::string_view token) {
  if (token.size() < 2 || token.back() != '"') {
    return fail(token.data(), "invalid string");
  }
  std::string_view content = token.substr(1, token.size() - 2);
  for (std::size_t at = content.find('\\'); at != std::string_view::npos;) {
    std::size_t end = escape_end(content, at);
    if (end == std::string_view::npos) {
      return fail(content.data() + at, "invalid escape in string");
    }
    at = content.find('\\', end);
  }
  return true;
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
  out = std::string_view(start, static_cast<std::size_t>(end - start));
  if (out.find('\\') != std::string_view::npos &&
      field.unescaped_key().get(out) != simdjson::SUCCESS) {
    return fail(start - 1, "invalid escape in string");
  }
  return true;
}

bool Reader::read_string(od::value& value, std::string& out) {
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
  if (value.get_string().get(content) != simdjson::SUCCESS) {
    return fail(token.data(), "invalid escape in string");
  }
  out.assign(content);
  return true;
}

bool Reader::read_integer(od::value& value, std::int64_t& out) {
  std::string_view token = trimmed(value.raw_json_token());
  if (!starts_number(token[0])) {
    return wrong_type(token, integer_expected);
  }
  if (!check_scalar(token)) {
    return false;
  }
  if (token.find_first_of(".eE") != std::string_view::npos) {
    return wrong_type(token, integer_expected);
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
  out.assign(token);
  return check_scalar(token) && close_scalar(token);
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

std::string Reader::detail() const {
  const char* at = at_ == nullptr ? text_.data() : at_;
  auto offset = static_cast<std::size_t>(at - text_.data());
  return fmt::format("{} at {}", message_, line_and_column(text_, offset));
}

}  // namespace tarn::strict_json
