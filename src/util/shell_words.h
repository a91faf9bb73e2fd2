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

}  // namespace tarn
