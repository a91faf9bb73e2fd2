#include "refresh/refresh.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "config/yaml.h"
#include "process/dbt_command.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

/// The value of `key` in a mapping; nothing for a node of another kind.
const yaml::Node* value_of(const yaml::Document& document, const yaml::Node* mapping,
                           std::string_view key) {
  if (mapping == nullptr || mapping->kind != yaml::Node::Kind::mapping) {
    return nullptr;
  }
  for (std::size_t i = 0; i + 1 < mapping->children.size(); i += 2) {
    const yaml::Node& candidate = document.node(mapping->children[i]);
    if (candidate.kind == yaml::Node::Kind::scalar && candidate.text == key) {
      return &document.node(mapping->children[i + 1]);
    }
  }
  return nullptr;
}

const yaml::Node* root_of(const yaml::Document& document) {
  return document.root ? &document.node(*document.root) : nullptr;
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

/// The `local:` folders named by packages.yml or dependencies.yml; none when
/// the text is not YAML.
std::vector<std::string> local_package_folders(std::string_view packages_yml) {
  const yaml::Document document = yaml::load(packages_yml).value_or(yaml::Document{});
  const yaml::Node* packages = value_of(document, root_of(document), "packages");
  if (packages == nullptr || packages->kind != yaml::Node::Kind::sequence) {
    return {};
  }
  std::vector<std::string> folders;
  for (const yaml::NodeRef item : packages->children) {
    if (const yaml::Node* local = value_of(document, &document.node(item), "local");
        is_text(local)) {
      folders.push_back(local->text);
    }
  }
  return folders;
}

using Timestamp = std::pair<std::int64_t, std::int64_t>;  // seconds, nanoseconds

/// Following symbolic links; nothing when the path cannot be examined.
std::optional<struct stat> status_of(const fs::path& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return info;
}

Timestamp modification_time(const struct stat& info) {
  return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

class NewestInput {
 public:
  /// `only_directory`: a directory's own time, which its contents' times do
  /// not show when entries are renamed into it.
  void add(const fs::path& path, bool only_directory = false) {
    if (auto info = status_of(path); info && (!only_directory || S_ISDIR(info->st_mode))) {
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
    for (fs::directory_iterator entries(dir, ec); !ec && entries != fs::directory_iterator();
         entries.increment(ec)) {
      if (auto entry = status_of(entries->path()); entry && S_ISDIR(entry->st_mode)) {
        add_tree(entries->path());
      } else if (entry) {
        raise(modification_time(*entry));
      }
    }
  }

  const std::optional<Timestamp>& newest() const { return newest_; }

 private:
  void raise(Timestamp time) { newest_ = std::max(newest_.value_or(time), time); }

  std::optional<Timestamp> newest_;
  std::set<std::pair<dev_t, ino_t>> visited_;
};

/// The whole file, or nothing when it cannot be read: an unreadable project
/// file reads as one that configures nothing.
std::string text_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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

/// Adds what dbt reads of the project in `dir`: its dbt_project.yml and the
/// folders of every `*-paths` key, dbt's default folder for each key the file
/// leaves out. Returns its packages-install-path. Text that is not YAML, or a
/// value of an odd shape, leaves the defaults in place, and dbt is left to
/// report what it makes of the file.
std::string add_project(NewestInput& inputs, const fs::path& dir) {
  const fs::path file = dir / "dbt_project.yml";
  const yaml::Document document = yaml::load(text_of(file)).value_or(yaml::Document{});
  inputs.add(file);
  for (const PathsKey& paths : k_paths_keys) {
    if (auto folders = texts_of(document, value_of(document, root_of(document), paths.key))) {
      for (const std::string& folder : *folders) {
        inputs.add_tree(dir / folder);
      }
    } else if (!paths.default_folder.empty()) {
      inputs.add_tree(dir / paths.default_folder);
    }
  }
  const yaml::Node* install_path = value_of(document, root_of(document), "packages-install-path");
  return is_text(install_path) ? install_path->text : "dbt_packages";
}

/// `dbt deps` renames every package it installs into the folder, and files
/// unpacked from an archive may keep times older than the manifest, so the
/// folder's own time counts as well as each package's inputs.
void add_installed_packages(NewestInput& inputs, const fs::path& dir) {
  inputs.add(dir, true);
  std::error_code ec;
  for (fs::directory_iterator entries(dir, ec); !ec && entries != fs::directory_iterator();
       entries.increment(ec)) {
    if (auto info = status_of(entries->path()); info && S_ISDIR(info->st_mode)) {
      add_project(inputs, entries->path());
    }
  }
}

std::optional<Timestamp> newest_input_time(const fs::path& project_dir) {
  NewestInput inputs;
  const std::string install_path = add_project(inputs, project_dir);
  for (const char* file : {"packages.yml", "dependencies.yml", "package-lock.yml"}) {
    inputs.add(project_dir / file);
  }
  for (const char* file : {"packages.yml", "dependencies.yml"}) {
    for (const std::string& folder : local_package_folders(text_of(project_dir / file))) {
      add_project(inputs, project_dir / folder);
    }
  }
  add_installed_packages(inputs, project_dir / install_path);
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

}  // namespace

std::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                  const std::filesystem::path& manifest_path,
                                                  const std::string& dbt_command,
                                                  const std::vector<std::string>& dbt_args) {
  if (!needs_refresh(project_dir, manifest_path)) {
    return {};
  }
  auto argv = dbt_argv(dbt_command, {"parse"}, dbt_args,
                       fmt::format("could not parse --dbt-command {}: ", dbt_command));
  if (!argv) {
    return std::unexpected(argv.error());
  }
  auto parsed = run_dbt(*argv, project_dir, dbt_command + " parse", " to refresh the manifest");
  if (!parsed) {
    return std::unexpected(parsed.error());
  }
  return {};
}

}  // namespace tarn
