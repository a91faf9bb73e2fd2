#pragma once
// Manifest freshness: `dbt parse` runs when any project input is newer than
// the manifest (or the manifest cannot be examined).

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace tarn {

std::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                  const std::filesystem::path& manifest_path,
                                                  const std::string& dbt_command,
                                                  const std::vector<std::string>& dbt_args);

}  // namespace tarn
