#include "util/shell_words.h"

#include <algorithm>

namespace tarn {
namespace {

enum class State {
  between_words,
  escape_before_word,
  in_word,
  escape_in_word,
  single_quoted,
  double_quoted,
  escape_in_double_quotes,
  comment,
};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

/// Inside double quotes a backslash only escapes the characters that would
/// otherwise be special there; before anything else it stays literal.
bool escapable_in_double_quotes(char c) {
  return c == '"' || c == '\\' || c == '$' || c == '`';
}

/// Every byte of a multi-byte UTF-8 character is outside ASCII, so walking
/// bytes never splits a character at a special one.
class Splitter {
 public:
  std::expected<std::vector<std::string>, std::string> run(std::string_view text) {
    for (const char c : text) {
      step(c);
    }
    return finish();
  }

 private:
  void step(char c) {
    switch (state_) {
      case State::between_words:
        start_word(c);
        return;
      case State::escape_before_word:
        // A backslash before a line end joins the lines and leaves no word.
        if (c == '\n') {
          state_ = State::between_words;
        } else {
          word_ += c;
          state_ = State::in_word;
        }
        return;
      case State::in_word:
        continue_word(c);
        return;
      case State::escape_in_word:
        if (c != '\n') {
          word_ += c;
        }
        state_ = State::in_word;
        return;
      case State::single_quoted:
        if (c == '\'') {
          state_ = State::in_word;
        } else {
          word_ += c;
        }
        return;
      case State::double_quoted:
        if (c == '"') {
          state_ = State::in_word;
        } else if (c == '\\') {
          state_ = State::escape_in_double_quotes;
        } else {
          word_ += c;
        }
        return;
      case State::escape_in_double_quotes:
        if (escapable_in_double_quotes(c)) {
          word_ += c;
        } else if (c != '\n') {
          word_ += '\\';
          word_ += c;
        }
        state_ = State::double_quoted;
        return;
      case State::comment:
        if (c == '\n') {
          state_ = State::between_words;
        }
        return;
    }
  }

  void start_word(char c) {
    if (is_blank(c)) {
      return;
    }
    if (c == '#') {
      state_ = State::comment;
    } else if (c == '\\') {
      state_ = State::escape_before_word;
    } else {
      state_ = State::in_word;
      continue_word(c);
    }
  }

  void continue_word(char c) {
    if (is_blank(c)) {
      end_word();
    } else if (c == '\'') {
      state_ = State::single_quoted;
    } else if (c == '"') {
      state_ = State::double_quoted;
    } else if (c == '\\') {
      state_ = State::escape_in_word;
    } else {
      word_ += c;
    }
  }

  void end_word() {
    words_.push_back(std::move(word_));
    word_.clear();
    state_ = State::between_words;
  }

  std::expected<std::vector<std::string>, std::string> finish() {
    switch (state_) {
      case State::between_words:
      case State::comment:
        return std::move(words_);
      case State::in_word:
        end_word();
        return std::move(words_);
      default:
        return std::unexpected(std::string("missing closing quote"));
    }
  }

  State state_ = State::between_words;
  std::string word_;
  std::vector<std::string> words_;
};

}  // namespace

std::expected<std::vector<std::string>, std::string> split_shell_words(std::string_view text) {
  return Splitter().run(text);
}

namespace {

/// Bytes no shell treats specially anywhere in a word. '~' and '#' are
/// special at the start only, and '=' would turn a leading word into an
/// assignment instead of the command: all three are quoted.
bool plainly_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == '/' || c == ':' || c == ',' || c == '+' || c == '@' ||
         c == '%';
}

}  // namespace

std::string quote_shell_word(std::string_view word) {
  if (!word.empty() && std::ranges::all_of(word, plainly_safe)) {
    return std::string(word);
  }
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace tarn
