#include "output/write_atomically.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

#include <fmt/format.h>

#include "util/fd.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

/// A new file named ".tmp" and six random letters and digits, opened
/// exclusively; the errno of the last failed attempt.
std::expected<UniqueFd, int> create_temp_file(const fs::path& directory, fs::path& path) {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937_64 random{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = ".tmp";
    for (int i = 0; i < 6; ++i) {
      name += alphabet[pick(random)];
    }
    path = directory / name;
    // 0666 narrowed by the umask: the finished file gets the mode any newly
    // created file would, not an owner-only one.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.is_open()) {
      return fd;
    }
    if (errno != EEXIST) {
      return std::unexpected(errno);
    }
  }
  return std::unexpected(EEXIST);
}

}  // namespace

std::expected<void, std::string> write_atomically(const fs::path& target, std::string_view bytes) {
  const std::optional<fs::path> parent_or_none = lexical_parent(target);
  if (!parent_or_none) {
    return std::unexpected(
        fmt::format("{} has no parent directory", quoted_value(display_path(target))));
  }
  const fs::path& parent = *parent_or_none;
  if (!parent.empty()) {
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
      return std::unexpected(
          fmt::format("could not create {}: {}", display_path(parent), error.message()));
    }
  }
  fs::path temp_path;
  auto temp = create_temp_file(parent, temp_path);
  if (!temp) {
    return std::unexpected(fmt::format("could not create a temp file in {}: {}",
                                       display_path(parent), system_error_text(temp.error())));
  }
  if (const int failure = write_all(temp->get(), bytes); failure != 0) {
    ::unlink(temp_path.c_str());
    return std::unexpected(
        fmt::format("could not write {}: {} at path {}", display_path(target),
                    failure < 0 ? "failed to write whole buffer" : system_error_text(failure),
                    quoted_value(display_path(temp_path))));
  }
  temp->reset();
  if (::rename(temp_path.c_str(), target.c_str()) != 0) {
    const int failure = errno;
    ::unlink(temp_path.c_str());
    return std::unexpected(
        fmt::format("could not write {}: {}", display_path(target), system_error_text(failure)));
  }
  return {};
}

}  // namespace tarn
