#include "process/dbt_command.h"

#include <fmt/format.h>

#include "process/process.h"
#include "util/interrupt.h"
#include "util/shell_words.h"
#include "util/text.h"

namespace tarn {

std::expected<std::vector<std::string>, std::string> dbt_argv(
    std::string_view command_text, const std::vector<std::string>& subcommand,
    const std::vector<std::string>& extra_args, std::string_view unsplittable) {
  auto words = split_shell_words(command_text);
  if (!words) {
    return std::unexpected(std::string(unsplittable) + words.error());
  }
  if (words->empty()) {
    return std::unexpected("--dbt-command resolved to an empty command");
  }
  std::vector<std::string> argv = std::move(*words);
  argv.insert(argv.end(), subcommand.begin(), subcommand.end());
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return argv;
}

std::expected<std::string, std::string> run_dbt(const std::vector<std::string>& argv,
                                                const std::filesystem::path& working_dir,
                                                std::string_view name,
                                                std::string_view failure_detail) {
  // An interruption before the start is not passed on to dbt, so dbt is not started.
  if (auto signal = pending_interrupt()) {
    return std::unexpected(
        fmt::format("could not run `{}`: interrupted by signal {}", name, *signal));
  }
  auto result = run_process(argv, working_dir);
  if (!result) {
    return std::unexpected(fmt::format("could not run `{}`: {}", name, result.error()));
  }
  if (!result->success()) {
    return std::unexpected(fmt::format("`{}` failed{}:\nstdout:\n{}\nstderr:\n{}", name,
                                       failure_detail, decode_lossy(result->out),
                                       decode_lossy(result->err)));
  }
  return std::move(result->out);
}

}  // namespace tarn
