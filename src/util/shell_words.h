#pragma once
// POSIX shell word splitting without expansion, used for the dbt command text,
// the extra dbt arguments and the --select/--exclude texts.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// Splits text into words: blanks separate, quotes group, backslashes escape,
/// a word-initial '#' comments out the rest of the line. The only failure is
/// the text "missing closing quote".
std::expected<std::vector<std::string>, std::string> split_shell_words(std::string_view text);

/// The word as a POSIX shell reads it back unchanged: as it is when every
/// byte is plainly safe, else in single quotes (a quote inside as '\'').
std::string quote_shell_word(std::string_view word);

}  // namespace tarn
