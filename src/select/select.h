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

/// dbt could not start or failed, or it printed a name that is no model.
struct SelectError {
  std::string text;  // the complete message
  const std::string& message() const { return text; }
};

struct SelectRequest {
  std::filesystem::path project_dir;
  std::string dbt_command;
  std::vector<std::string> dbt_args;
  std::string select;
  std::optional<std::string> exclude;
  std::optional<std::filesystem::path> state_dir;
};

std::expected<Selection, SelectError> select_models(const SelectRequest& request,
                                                    const Manifest& manifest);

}  // namespace tarn
