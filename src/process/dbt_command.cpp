#include "process/dbt_command.h"

#include "util/shell_words.h"

namespace tarn {

std::expected<std::vector<std::string>, DbtCommandError> dbt_argv(
    std::string_view command_text, const std::vector<std::string>& subcommand,
    const std::vector<std::string>& extra_args) {
  auto words = split_shell_words(command_text);
  if (!words) {
    return std::unexpected(DbtCommandError{DbtCommandError::Kind::unsplittable, words.error()});
  }
  if (words->empty()) {
    return std::unexpected(DbtCommandError{DbtCommandError::Kind::empty, {}});
  }
  std::vector<std::string> argv = std::move(*words);
  argv.insert(argv.end(), subcommand.begin(), subcommand.end());
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return argv;
}

}  // namespace tarn
