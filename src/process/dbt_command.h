#pragma once
// Starting dbt: the dbt command text split into words, then the subcommand's
// words, then the extra dbt words. Each failure is one complete message.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

/// The command words followed by the subcommand words and the extra words. A
/// command text that does not split fails with `unsplittable` followed by the
/// splitter's message.
std::expected<std::vector<std::string>, std::string> dbt_argv(
    std::string_view command_text, const std::vector<std::string>& subcommand,
    const std::vector<std::string>& extra_args, std::string_view unsplittable);

/// Runs dbt (see run_process) and returns its standard output. `name` is the
/// command as messages show it ("dbt parse"): "could not run `NAME`: ..." when
/// it cannot start or an interruption is pending, "`NAME` failed<failure_detail>:"
/// and both streams when it fails.
std::expected<std::string, std::string> run_dbt(const std::vector<std::string>& argv,
                                                const std::filesystem::path& working_dir,
                                                std::string_view name,
                                                std::string_view failure_detail);

}  // namespace tarn
