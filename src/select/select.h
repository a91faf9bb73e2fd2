#pragma once
// Model selection: the selector is never interpreted here. `dbt ls` resolves
// it with dbt's own grammar and prints model names, which map back to ids.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "manifest/manifest.h"

namespace tarn {

struct SelectError {
  enum class Kind { start, dbt, unknown_model };
  Kind kind = Kind::start;
  std::string dbt_command;
  std::string detail;       // start: the inner message; unknown_model: the printed name
  std::string stdout_text;  // dbt: decoded
  std::string stderr_text;  // dbt: decoded
  std::string message() const;
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
