#include "output/write_atomically.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <system_error>

#include <fmt/format.h>

#include "util/fd.h"
#include "util/text.h"

namespace tarn {

namespace {

namespace fs = std::filesystem;

constexpr int temp_name_attempts = 1000;

/// ".tmp" and six random letters and digits.
std::string temp_file_name(std::mt19937_64& random) {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string name = ".tmp";
  for (int i = 0; i < 6; ++i) {
    name += alphabet[pick(random)];
  }
  return name;
}

/// A temporary file opened exclusively; removed again unless released.
class TempFile {
 public:
  TempFile(fs::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!renamed_) {
      ::unlink(path_.c_str());
    }
  }

  const fs::path& path() const { return path_; }

  /// The OS error text, or "failed to write whole buffer" when nothing was taken.
  std::expected<void, std::string> write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return std::unexpected(system_error_text(errno));
      }
      if (written == 0) {
        return std::unexpected(std::string("failed to write whole buffer"));
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  }

  std::expected<void, std::string> rename_onto(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      return std::unexpected(system_error_text(errno));
    }
    renamed_ = true;
    fd_.reset();
    return {};
  }

 private:
  fs::path path_;
  UniqueFd fd_;
  bool renamed_ = false;
};

std::uint64_t random_seed() {
  std::uint64_t seed = 0;
  if (::getentropy(&seed, sizeof seed) != 0) {
    seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           static_cast<std::uint64_t>(::getpid());
  }
  return seed;
}

std::expected<std::unique_ptr<TempFile>, std::string> create_temp_file(const fs::path& directory) {
  std::mt19937_64 random{random_seed()};
  int error = EEXIST;
  for (int attempt = 0; attempt < temp_name_attempts && error == EEXIST; ++attempt) {
    fs::path path = directory / temp_file_name(random);
    // 0666 narrowed by the umask: the finished file gets the mode any newly
    // created file would, not an owner-only one.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      return std::make_unique<TempFile>(std::move(path), fd);
    }
    error = errno;
  }
  return std::unexpected(system_error_text(error));
}

/// The directory that holds the target, judged on the path's text alone: empty
/// (the current directory) for a bare file name, absent for "" and "/". A
/// trailing separator does not make the target its own parent.
std::optional<fs::path> lexical_parent(const fs::path& target) {
  fs::path named = target;
  if (!named.has_filename() && named.has_relative_path()) {
    named = named.parent_path();
  }
  if (named.empty() || !named.has_relative_path()) {
    return std::nullopt;
  }
  return named.parent_path();
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

  auto temp = create_temp_file(parent);
  if (!temp) {
    return std::unexpected(
        fmt::format("could not create a temp file in {}: {}", display_path(parent), temp.error()));
  }
  if (auto written = (*temp)->write_all(bytes); !written) {
    return std::unexpected(fmt::format("could not write {}: {} at path {}", display_path(target),
                                       written.error(),
                                       quoted_value(display_path((*temp)->path()))));
  }
  if (auto renamed = (*temp)->rename_onto(target); !renamed) {
    return std::unexpected(
        fmt::format("could not write {}: {}", display_path(target), renamed.error()));
  }
  return {};
}

}  // namespace tarn
