#pragma once
// Manifest freshness: `dbt parse` runs when any project input is newer than
// the manifest (or the manifest cannot be examined).

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// What dbt reads of one project, as its dbt_project.yml configures it.
struct ProjectInputs {
  /// The folders of every `*-paths` key, with dbt's default folder for each
  /// key the file leaves out.
  std::vector<std::string> folders;
  std::string packages_install_path = "dbt_packages";
};

/// Never fails: text that is not YAML, or a value of an odd shape, leaves the
/// defaults in place, and dbt is left to report what it makes of the file.
ProjectInputs project_inputs(std::string_view dbt_project_yml);

/// The `local:` folders named by packages.yml or dependencies.yml.
std::vector<std::string> local_package_folders(std::string_view packages_yml);

std::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                  const std::filesystem::path& manifest_path,
                                                  const std::string& dbt_command,
                                                  const std::vector<std::string>& dbt_args);

}  // namespace tarn
