#include "select/select.h"

#include <fmt/format.h>

#include <ranges>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "process/dbt_command.h"
#include "util/shell_words.h"
#include "util/text.h"

namespace tarn {
namespace {

using ModelIdsByName = std::unordered_map<std::string, const std::string*>;

/// Every name `dbt ls --output name` may print for a model: its plain name,
/// and for a versioned model also "<name>.v<version>". When two models share
/// a name the smaller id wins, so the choice does not depend on hash order.
ModelIdsByName model_ids_by_name(const Manifest& manifest) {
  ModelIdsByName ids;
  auto add = [&ids](std::string name, const std::string& id) {
    auto [it, inserted] = ids.try_emplace(std::move(name), &id);
    if (!inserted && id < *it->second) {
      it->second = &id;
    }
  };
  for (const auto& [id, node] : manifest.nodes) {
    if (node.is_source) {
      continue;
    }
    add(node.name, id);
    if (node.version) {
      add(printed_name(node), id);
    }
  }
  return ids;
}

/// The `dbt ls` arguments after the command's own words, or the start
/// failure's message when a selector cannot be split.
std::expected<std::vector<std::string>, std::string> ls_arguments(const SelectRequest& request) {
  std::vector<std::string> args = {"ls",   "--resource-type", "model",   "--output",
                                   "name", "--quiet",         "--select"};
  auto select_words = split_shell_words(request.select);
  if (!select_words) {
    return std::unexpected(
        fmt::format("could not parse --select {}: {}", request.select, select_words.error()));
  }
  args.insert(args.end(), select_words->begin(), select_words->end());
  if (request.exclude) {
    auto exclude_words = split_shell_words(*request.exclude);
    if (!exclude_words) {
      return std::unexpected(
          fmt::format("could not parse --exclude {}: {}", *request.exclude, exclude_words.error()));
    }
    args.push_back("--exclude");
    args.insert(args.end(), exclude_words->begin(), exclude_words->end());
  }
  if (request.state_dir) {
    args.insert(args.end(), {"--state", request.state_dir->native()});
  }
  return args;
}

/// The command text is checked before the selectors, so a broken command is
/// the failure reported when both are broken.
std::expected<std::vector<std::string>, std::string> ls_argv(const SelectRequest& request) {
  auto args = ls_arguments(request);
  auto argv = dbt_argv(request.dbt_command, args.value_or(std::vector<std::string>{}),
                       request.dbt_args, "");
  if (argv && !args) {
    return std::unexpected(args.error());
  }
  return argv;
}

/// Maps `dbt ls --output name` output to model ids.
std::expected<Selection, std::string> selection_from_output(std::string_view output,
                                                            const Manifest& manifest,
                                                            const std::string& name) {
  const std::string text = decode_lossy(output);
  const ModelIdsByName ids = model_ids_by_name(manifest);
  Selection selection;
  for (const auto piece : std::views::split(std::string_view(text), '\n')) {
    const std::string_view line = trim_whitespace(std::string_view(piece.begin(), piece.end()));
    if (line.empty()) {
      continue;
    }
    auto found = ids.find(std::string(line));
    if (found == ids.end()) {
      return std::unexpected(fmt::format(
          "`{}` selected {}, which isn't a model in the compiled manifest -- the manifest at "
          "--manifest is likely out of sync with the current project state; delete it and rerun "
          "(or point --manifest at a freshly compiled one)",
          name, line));
    }
    selection.insert(*found->second);
  }
  return selection;
}

}  // namespace

std::expected<Selection, std::string> select_models(const SelectRequest& request,
                                                    const Manifest& manifest) {
  const std::string name = request.dbt_command + " ls";
  auto argv = ls_argv(request);
  if (!argv) {
    return std::unexpected(fmt::format("could not run `{}`: {}", name, argv.error()));
  }
  auto output = run_dbt(*argv, request.project_dir, name, "");
  if (!output) {
    return std::unexpected(output.error());
  }
  return selection_from_output(*output, manifest, name);
}

}  // namespace tarn
