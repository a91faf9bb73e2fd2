#include "refresh/refresh.h"

#include <sys/stat.h>

#include <compare>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "config/yaml.h"
#include "process/dbt_command.h"
#include "process/process.h"
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

  /// The directory's own time, which its contents' times do not show when
  /// entries are renamed into it.
  void add_directory_itself(const fs::path& dir) {
    if (auto info = status_of(dir); info && S_ISDIR(info->st_mode)) {
      raise(modification_time(*info));
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

/// The whole file, or nothing when it cannot be read: an unreadable project
/// file reads as one that configures nothing.
std::string text_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void add_project(NewestInput& inputs, const fs::path& dir, const ProjectInputs& project) {
  inputs.add_file(dir / "dbt_project.yml");
  for (const std::string& folder : project.folders) {
    inputs.add_tree(dir / folder);
  }
}

void add_package(NewestInput& inputs, const fs::path& dir) {
  add_project(inputs, dir, project_inputs(text_of(dir / "dbt_project.yml")));
}

/// `dbt deps` renames every package it installs into the folder, and files
/// unpacked from an archive may keep times older than the manifest, so the
/// folder's own time counts as well as each package's inputs.
void add_installed_packages(NewestInput& inputs, const fs::path& dir) {
  inputs.add_directory_itself(dir);
  std::error_code ec;
  fs::directory_iterator entries(dir, ec);
  for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
    if (auto info = status_of(entries->path()); info && S_ISDIR(info->st_mode)) {
      add_package(inputs, entries->path());
    }
  }
}

std::optional<Timestamp> newest_input_time(const fs::path& project_dir) {
  NewestInput inputs;
  const ProjectInputs project = project_inputs(text_of(project_dir / "dbt_project.yml"));
  add_project(inputs, project_dir, project);
  for (const char* file : {"packages.yml", "dependencies.yml", "package-lock.yml"}) {
    inputs.add_file(project_dir / file);
  }
  for (const char* file : {"packages.yml", "dependencies.yml"}) {
    for (const std::string& folder : local_package_folders(text_of(project_dir / file))) {
      add_package(inputs, project_dir / folder);
    }
  }
  add_installed_packages(inputs, project_dir / project.packages_install_path);
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

/// The top-level mapping of a YAML text, or nothing for any other text.
std::optional<yaml::Document> mapping_document(std::string_view text) {
  auto document = yaml::load(text);
  if (!document || !document->root ||
      document->node(*document->root).kind != yaml::Node::Kind::mapping) {
    return std::nullopt;
  }
  return std::move(*document);
}

const yaml::Node* value_of(const yaml::Document& document, const yaml::Node& mapping,
                           std::string_view key) {
  for (std::size_t i = 0; i + 1 < mapping.children.size(); i += 2) {
    const yaml::Node& candidate = document.node(mapping.children[i]);
    if (candidate.kind == yaml::Node::Kind::scalar && candidate.text == key) {
      return &document.node(mapping.children[i + 1]);
    }
  }
  return nullptr;
}

bool is_text(const yaml::Node* node) {
  return node != nullptr && node->kind == yaml::Node::Kind::scalar && !yaml::is_null(*node);
}

/// A sequence of texts; nothing for a value of any other shape.
std::optional<std::vector<std::string>> texts_of(const yaml::Document& document,
                                                 const yaml::Node* node) {
  if (node == nullptr || node->kind != yaml::Node::Kind::sequence) {
    return std::nullopt;
  }
  std::vector<std::string> texts;
  for (const yaml::NodeRef item : node->children) {
    if (!is_text(&document.node(item))) {
      return std::nullopt;
    }
    texts.push_back(document.node(item).text);
  }
  return texts;
}

struct PathsKey {
  std::string_view key;
  std::string_view default_folder;  // empty: dbt looks in the other folders
};

constexpr PathsKey k_paths_keys[] = {{"model-paths", "models"},
                                     {"macro-paths", "macros"},
                                     {"seed-paths", "seeds"},
                                     {"snapshot-paths", "snapshots"},
                                     {"analysis-paths", "analyses"},
                                     {"test-paths", "tests"},
                                     {"docs-paths", ""}};

}  // namespace

ProjectInputs project_inputs(std::string_view dbt_project_yml) {
  ProjectInputs inputs;
  const auto document = mapping_document(dbt_project_yml);
  const auto setting = [&document](std::string_view key) -> const yaml::Node* {
    return document ? value_of(*document, document->node(*document->root), key) : nullptr;
  };
  for (const PathsKey& paths : k_paths_keys) {
    if (auto folders = document ? texts_of(*document, setting(paths.key)) : std::nullopt) {
      inputs.folders.insert(inputs.folders.end(), folders->begin(), folders->end());
    } else if (!paths.default_folder.empty()) {
      inputs.folders.emplace_back(paths.default_folder);
    }
  }
  if (const yaml::Node* install_path = setting("packages-install-path"); is_text(install_path)) {
    inputs.packages_install_path = install_path->text;
  }
  return inputs;
}

std::vector<std::string> local_package_folders(std::string_view packages_yml) {
  const auto document = mapping_document(packages_yml);
  if (!document) {
    return {};
  }
  const yaml::Node* packages = value_of(*document, document->node(*document->root), "packages");
  if (packages == nullptr || packages->kind != yaml::Node::Kind::sequence) {
    return {};
  }
  std::vector<std::string> folders;
  for (const yaml::NodeRef item : packages->children) {
    const yaml::Node& package = document->node(item);
    if (package.kind != yaml::Node::Kind::mapping) {
      continue;
    }
    if (const yaml::Node* local = value_of(*document, package, "local"); is_text(local)) {
      folders.push_back(local->text);
    }
  }
  return folders;
}

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
