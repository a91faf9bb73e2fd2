#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace tarn {

/// Writes bytes to a new temporary file beside the target (mode 0666 less the
/// umask, as any new file) and renames it onto the target: readers see the old
/// file or the new one, never a part.
/// On failure no temporary file remains; the error is a complete message.
std::expected<void, std::string> write_atomically(const std::filesystem::path& target,
                                                  std::string_view bytes);

}  // namespace tarn
