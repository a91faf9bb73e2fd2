#include "config/config.h"

namespace tarn {
std::string ProjectConfigError::message() const {
  return path + ": " + detail;
}
std::expected<TarnYml, std::string> parse_tarn_yml(std::string_view) {
  return TarnYml{};
}
std::expected<LayeredConfig, ProjectConfigError> load_project_config(const std::filesystem::path&) {
  return LayeredConfig{};
}
std::expected<EffectiveSettings, std::string> resolve_settings(const SettingOptions& options,
                                                               const LayeredConfig&) {
  EffectiveSettings settings;
  settings.dbt_command = options.dbt_command.value_or("dbt");
  settings.against = options.against.value_or("master");
  return settings;
}
}  // namespace tarn
