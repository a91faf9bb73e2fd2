#pragma once
// Text helpers with no product knowledge: lossy UTF-8 decoding, Unicode
// whitespace trimming, path display and parents, the quoted form of a user value.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

/// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
/// U+FFFD, so that child output and odd paths can always be shown.
std::string decode_lossy(std::string_view bytes);

/// Strips leading and trailing Unicode White_Space (carriage return included).
std::string_view trim_whitespace(std::string_view text);

/// The form in which a path appears in messages and documents: its bytes,
/// lossily decoded, never made absolute.
std::string display_path(const std::filesystem::path& path);

/// The directory that holds a path, judged on its text alone: empty (the
/// current directory) for a bare name, absent for "" and "/". A trailing
/// separator does not make a path its own parent.
std::optional<std::filesystem::path> lexical_parent(const std::filesystem::path& path);

/// A user value echoed inside a message: double quotes around it, a backslash
/// before `"` and `\`, and control characters as \n, \t, \r, \0 or \u{hex}.
std::string quoted_value(std::string_view value);

/// "line L column C" of a byte offset: lines counted from 1 at each '\n',
/// columns from 1 in characters (UTF-8 continuation bytes not counted).
std::string line_and_column(std::string_view text, std::size_t offset);

/// The system's text for an errno value: "No such file or directory".
std::string system_error_text(int code);

/// The system's text for an errno value, with the number: "No such file or
/// directory (os error 2)".
std::string os_error_text(int code);

}  // namespace tarn
