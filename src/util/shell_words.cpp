#include "util/shell_words.h"

#include <algorithm>
#include <optional>

namespace tarn {
namespace {

using Words = std::expected<std::vector<std::string>, std::string>;

Words missing_closing_quote() {
  return std::unexpected(std::string("missing closing quote"));
}

/// Appends the double-quoted text that starts after `at` and returns the
/// offset of its closing quote, or npos when there is none. A backslash only
/// escapes the characters that would otherwise be special there; before
/// anything else it stays literal.
std::size_t read_double_quoted(std::string_view text, std::size_t at, std::string& word) {
  for (++at; at < text.size() && text[at] != '"'; ++at) {
    if (text[at] != '\\') {
      word += text[at];
    } else if (++at == text.size()) {
      return std::string_view::npos;
    } else if (std::string_view("\"\\$`").contains(text[at])) {
      word += text[at];
    } else if (text[at] != '\n') {
      word.append({'\\', text[at]});
    }
  }
  return at < text.size() ? at : std::string_view::npos;
}

std::string& begun(std::optional<std::string>& word) {
  return word ? *word : word.emplace();
}

/// Bytes no shell treats specially anywhere in a word. '~' and '#' are
/// special at the start only, and '=' would turn a leading word into an
/// assignment instead of the command: all three are quoted.
bool plainly_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_-./:,+@%").contains(c);
}

}  // namespace

// Every byte of a multi-byte UTF-8 character is outside ASCII, so walking
// bytes never splits a character at a special one.
Words split_shell_words(std::string_view text) {
  std::vector<std::string> words;
  std::optional<std::string> word;  // the word being read, if one has begun
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (word) {
        words.push_back(std::move(*word));
        word.reset();
      }
    } else if (c == '#' && !word) {
      at = std::min(text.find('\n', at), text.size());
    } else if (c == '\\') {
      // A backslash before a line end joins the lines: it neither begins nor ends a word.
      if (++at == text.size()) {
        return missing_closing_quote();
      }
      if (text[at] != '\n') {
        begun(word) += text[at];
      }
    } else if (c == '\'') {
      const std::size_t close = text.find('\'', at + 1);
      if (close == std::string_view::npos) {
        return missing_closing_quote();
      }
      begun(word).append(text.substr(at + 1, close - at - 1));
      at = close;
    } else if (c == '"') {
      at = read_double_quoted(text, at, begun(word));
      if (at == std::string_view::npos) {
        return missing_closing_quote();
      }
    } else {
      begun(word) += c;
    }
  }
  if (word) {
    words.push_back(std::move(*word));
  }
  return words;
}

std::string quote_shell_word(std::string_view word) {
  if (!word.empty() && std::ranges::all_of(word, plainly_safe)) {
    return std::string(word);
  }
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? "'\\''" : std::string_view(&c, 1);
  }
  quoted += '\'';
  return quoted;
}

}  // namespace tarn
