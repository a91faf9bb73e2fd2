#pragma once
// Model selection: the selector is never interpreted here. `dbt ls` resolves
// it with dbt's own grammar and prints model names, which map back to ids.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest.h"

namespace tarn {

struct SelectRequest {
  std::filesystem::path project_dir;
  std::string dbt_command;
  std::vector<std::string> dbt_args;
  std::string select;
  std::optional<std::string> exclude;
  std::optional<std::filesystem::path> state_dir;
};

/// The ids of the models `dbt ls` names; the error says that dbt could not start or failed, or
/// that it printed a name that is no model.
std::expected<Selection, std::string> select_models(const SelectRequest& request,
                                                    const Manifest& manifest);

}  // namespace tarn
