#include "refresh/refresh.h"

#include <sys/stat.h>

#include <compare>
#include <optional>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "select/dbt_command.h"
#include "select/process.h"
#include "util/interrupt.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

struct Timestamp {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  auto operator<=>(const Timestamp&) const = default;
};

/// Following symbolic links; nothing when the path cannot be examined.
std::optional<struct stat> status_of(const fs::path& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return info;
}

Timestamp modification_time(const struct stat& info) {
  return Timestamp{static_cast<std::int64_t>(info.st_mtim.tv_sec),
                   static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

class NewestInput {
 public:
  void add_file(const fs::path& path) {
    if (auto info = status_of(path)) {
      raise(modification_time(*info));
    }
  }

  /// Directories reached again (through a link cycle or a second link) are
  /// not walked twice; every file is still counted once.
  void add_tree(const fs::path& dir) {
    auto info = status_of(dir);
    if (!info || !S_ISDIR(info->st_mode) || !visited_.emplace(info->st_dev, info->st_ino).second) {
      return;
    }
    std::error_code ec;
    fs::directory_iterator entries(dir, ec);
    for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
      const fs::path& entry = entries->path();
      auto entry_info = status_of(entry);
      if (!entry_info) {
        continue;
      }
      if (S_ISDIR(entry_info->st_mode)) {
        add_tree(entry);
      } else {
        raise(modification_time(*entry_info));
      }
    }
  }

  const std::optional<Timestamp>& newest() const { return newest_; }

 private:
  void raise(Timestamp time) {
    if (!newest_ || *newest_ < time) {
      newest_ = time;
    }
  }

  std::optional<Timestamp> newest_;
  std::set<std::pair<dev_t, ino_t>> visited_;
};

std::optional<Timestamp> newest_input_time(const fs::path& project_dir) {
  NewestInput inputs;
  for (const char* file : {"dbt_project.yml", "packages.yml", "dependencies.yml"}) {
    inputs.add_file(project_dir / file);
  }
  for (const char* dir : {"models", "macros", "seeds", "snapshots", "analyses", "tests"}) {
    inputs.add_tree(project_dir / dir);
  }
  return inputs.newest();
}

bool needs_refresh(const fs::path& project_dir, const fs::path& manifest_path) {
  const auto newest = newest_input_time(project_dir);
  if (!newest) {
    return false;
  }
  const auto manifest = status_of(manifest_path);
  return !manifest || modification_time(*manifest) < *newest;
}

std::expected<void, std::string> run_dbt_parse(const fs::path& project_dir,
                                               const std::string& dbt_command,
                                               const std::vector<std::string>& dbt_args) {
  auto argv = dbt_argv(dbt_command, {"parse"}, dbt_args);
  if (!argv) {
    if (argv.error().kind == DbtCommandError::Kind::empty) {
      return std::unexpected(std::string(k_empty_command_message));
    }
    return std::unexpected(fmt::format("could not parse --dbt-command {}: {}", dbt_command,
                                       argv.error().splitter_message));
  }
  // An interruption during the walk must not be followed by a whole parse.
  if (auto signal = pending_interrupt()) {
    return std::unexpected(fmt::format("interrupted by signal {}", *signal));
  }
  auto result = run_process(*argv, project_dir);
  if (!result) {
    return std::unexpected(
        fmt::format("could not run `{} parse`: {}", dbt_command, result.error()));
  }
  if (!result->success()) {
    return std::unexpected(
        fmt::format("`{} parse` failed to refresh the manifest:\nstdout:\n{}\nstderr:\n{}",
                    dbt_command, decode_lossy(result->out), decode_lossy(result->err)));
  }
  return {};
}

}  // namespace

std::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                  const std::filesystem::path& manifest_path,
                                                  const std::string& dbt_command,
                                                  const std::vector<std::string>& dbt_args) {
  if (!needs_refresh(project_dir, manifest_path)) {
    return {};
  }
  return run_dbt_parse(project_dir, dbt_command, dbt_args);
}

}  // namespace tarn
