#include "main/cli.h"

#include <algorithm>
#include <array>
#include <expected>

#include <CLI/CLI.hpp>

namespace tarn {
namespace {

constexpr const char* k_about =
    "tarn-dbt-plan: a static microbatch cascading time-window planner for dbt. Never executes "
    "anything: it prints and writes the plan, and leaves every rebuild to dbt";

struct HelpText {
  const char* select =
      "The dbt selector of the models to plan, passed unchanged to `dbt ls --select`, so "
      "every part of dbt's selector syntax works as it does in dbt";
  const char* exclude = "Models to leave out, passed unchanged to `dbt ls --exclude`";
  const char* event_time_start =
      "First day of the Anchor window (YYYY-MM-DD). Give it together with `--event-time-end`, "
      "or leave both out to plan every Entry Node for yesterday (UTC)";
  const char* event_time_end =
      "Last day of the Anchor window (YYYY-MM-DD), inclusive. Give it together with "
      "`--event-time-start`, or leave both out";
  const char* project_dir = "The dbt project directory. Defaults to the current directory";
  const char* manifest =
      "Path to the compiled manifest. Defaults to `<project-dir>/target/manifest.json`";
  const char* output_file =
      "Where to write the plan JSON. Defaults to `<project-dir>/target/tarn/dbt_plan.json`";
  const char* pretty =
      "Also renders an ASCII tree of the plan to the terminal, in addition to writing the JSON";
  const char* html =
      "Also writes a self-contained, interactive HTML report to "
      "`<project-dir>/target/tarn/dbt-plan/dbt_plan_<timestamp>.html`, whatever `--output-file` "
      "says. Off unless given";
  const char* dbt_command =
      "The command that runs dbt, for every dbt call this program makes (`dbt parse` when the "
      "manifest is stale, `dbt ls` for the selection). Taken from this option, else from "
      "`dbt-command` in `tarn.yml`, else `dbt`";
  const char* dbt_args =
      "Extra arguments added to every dbt call, split like shell words (e.g. `\"--target "
      "ci\"`); the value may itself start with `--`. Taken from this option, else from "
      "`dbt-args` in `tarn.yml`, else none";
  const char* against =
      "The git ref that `state:` selectors compare against, when `--state` is not given: the "
      "baseline is compiled at the merge-base of HEAD and this ref. Taken from this option, "
      "else from `against` in `tarn.yml`, else `master`";
  const char* state =
      "A directory holding an already compiled baseline manifest, passed to `dbt ls --state` "
      "for `state:` selectors. When given, git is not used and `--against` has no effect";
  const char* anchor =
      "Places the window on this one selected model instead of on every Entry Node: its "
      "selected ancestors get the windows that lead up to it, then the window cascades "
      "downstream as usual. Needs `--event-time-start` and `--event-time-end`; the model must "
      "be in the selection";
  const char* runbook =
      "Also writes a shell script of the dbt commands that rebuild the plan, stage by stage and "
      "each with its own dates, to this file (`-` for the terminal). The script is only "
      "written, never run";
  const char* runbook_command =
      "The dbt command the run-book uses for every model: `run` (the default) or `build`";
  const char* summary =
      "Also writes a Markdown summary of the plan, with the run-book folded in, to this file "
      "(`-` for the terminal). In a GitHub Actions step: `--summary - >> \"$GITHUB_STEP_SUMMARY\"`";
};

constexpr std::string_view k_hyphen_value_option = "--dbt-args";
constexpr std::array<std::string_view, 16> k_value_options = {"-s",
                                                              "--select",
                                                              "--exclude",
                                                              "--event-time-start",
                                                              "--event-time-end",
                                                              "--project-dir",
                                                              "--manifest",
                                                              "-o",
                                                              "--output-file",
                                                              "--dbt-command",
                                                              "--against",
                                                              "--state",
                                                              "--anchor",
                                                              "--runbook",
                                                              "--runbook-command",
                                                              "--summary"};
constexpr std::array<std::string_view, 2> k_switches = {"--pretty", "--html"};

bool looks_like_option(std::string_view word) {
  return word.size() > 1 && word.front() == '-';
}

/// Brings the argument vector into the shape CLI11 parses as intended: only
/// --dbt-args may take a value that begins with a hyphen (glued on as
/// "--dbt-args=VALUE"); for every other option such a word is the next option,
/// so the value is missing; and a switch takes no value at all.
std::expected<std::vector<std::string>, std::string> prepare_arguments(
    const std::vector<std::string>& args) {
  std::vector<std::string> prepared;
  prepared.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool has_next = i + 1 < args.size();
    if (i > 0 && word == k_hyphen_value_option && has_next && looks_like_option(args[i + 1])) {
      prepared.push_back(word + "=" + args[i + 1]);
      ++i;
      continue;
    }
    if (i > 0 && std::ranges::find(k_value_options, word) != k_value_options.end() &&
        (!has_next || looks_like_option(args[i + 1]))) {
      return std::unexpected("a value is required for '" + word + "' but none was supplied");
    }
    for (std::string_view flag : k_switches) {
      if (i > 0 && word.starts_with(std::string(flag) + "=")) {
        return std::unexpected("unexpected value for '" + std::string(flag) +
                               "': it takes no value");
      }
    }
    prepared.push_back(word);
  }
  return prepared;
}

/// Options collect into plain strings; whether each was given is read from
/// its count afterwards, so no parser-level default ever hides an absence.
struct OptionSlot {
  CLI::Option* option = nullptr;
  std::string value;
  std::optional<std::string> get() const {
    return option->count() > 0 ? std::optional<std::string>(value) : std::nullopt;
  }
};

struct Slots {
  OptionSlot exclude, event_time_start, event_time_end, project_dir, manifest, output_file,
      dbt_command, dbt_args, against, state, anchor, runbook, runbook_command, summary;
};

void add_value(CLI::App& app, OptionSlot& slot, const std::string& names, const char* value_name,
               const char* help) {
  slot.option = app.add_option(names, slot.value, help)->type_name(value_name);
}

void define_options(CLI::App& app, Cli& cli, Slots& slots) {
  const HelpText help;
  app.add_option("-s,--select", cli.select, help.select)->required()->type_name("SELECT");
  add_value(app, slots.exclude, "--exclude", "EXCLUDE", help.exclude);
  add_value(app, slots.event_time_start, "--event-time-start", "EVENT_TIME_START",
            help.event_time_start);
  add_value(app, slots.event_time_end, "--event-time-end", "EVENT_TIME_END", help.event_time_end);
  add_value(app, slots.project_dir, "--project-dir", "PROJECT_DIR", help.project_dir);
  add_value(app, slots.manifest, "--manifest", "MANIFEST", help.manifest);
  add_value(app, slots.output_file, "-o,--output-file", "OUTPUT_FILE", help.output_file);
  app.add_flag("--pretty", cli.pretty, help.pretty)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_flag("--html", cli.html, help.html)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  add_value(app, slots.dbt_command, "--dbt-command", "DBT_COMMAND", help.dbt_command);
  add_value(app, slots.dbt_args, "--dbt-args", "DBT_ARGS", help.dbt_args);
  add_value(app, slots.against, "--against", "AGAINST", help.against);
  add_value(app, slots.state, "--state", "STATE", help.state);
  add_value(app, slots.anchor, "--anchor", "ANCHOR", help.anchor);
  add_value(app, slots.runbook, "--runbook", "FILE", help.runbook);
  add_value(app, slots.runbook_command, "--runbook-command", "COMMAND", help.runbook_command);
  slots.runbook_command.option->check(CLI::IsMember({"run", "build"}));
  add_value(app, slots.summary, "--summary", "FILE", help.summary);
}

void collect(const Slots& slots, Cli& cli) {
  cli.exclude = slots.exclude.get();
  cli.event_time_start = slots.event_time_start.get();
  cli.event_time_end = slots.event_time_end.get();
  cli.project_dir = slots.project_dir.get();
  cli.manifest = slots.manifest.get();
  cli.output_file = slots.output_file.get();
  cli.dbt_command = slots.dbt_command.get();
  cli.dbt_args = slots.dbt_args.get();
  cli.against = slots.against.get();
  cli.state = slots.state.get();
  cli.anchor = slots.anchor.get();
  cli.runbook = slots.runbook.get();
  cli.runbook_command = slots.runbook_command.get();
  cli.summary = slots.summary.get();
}

/// The usage line names the one required option, as the help does.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* /*app*/, std::string name) const override {
    return "\nUsage: " + name + " [OPTIONS] --select <SELECT>\n";
  }
};

CliExit usage_error(const CLI::App& app, std::string_view message) {
  std::string err = "error: " + std::string(message) + "\n";
  err += Formatter().make_usage(&app, app.get_name());
  err += "\nFor more information, try '--help'.\n";
  return CliExit{2, "", err};
}

}  // namespace

std::variant<Cli, CliExit> parse_cli(const std::vector<std::string>& args) {
  CLI::App app(k_about, "tarn-dbt-plan");
  app.formatter(std::make_shared<Formatter>());
  Cli cli;
  Slots slots;
  define_options(app, cli, slots);
  // Defined last so that they close the option list in the help.
  app.set_help_flag("-h,--help", "Print help");
  app.set_version_flag("-V,--version", "tarn-dbt-plan " TARN_VERSION, "Print version");

  auto prepared = prepare_arguments(args);
  if (!prepared) {
    return usage_error(app, prepared.error());
  }
  // CLI11 takes the arguments after the program name, last first.
  std::vector<std::string> reversed(prepared->rbegin(), prepared->rend());
  if (!reversed.empty()) {
    reversed.pop_back();
  }
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return CliExit{0, app.help(), ""};
  } catch (const CLI::CallForVersion& version) {
    return CliExit{0, std::string(version.what()) + "\n", ""};
  } catch (const CLI::ParseError& error) {
    return usage_error(app, error.what());
  }
  collect(slots, cli);
  if (cli.runbook == "-" && cli.summary == "-") {
    return usage_error(app, "--runbook - and --summary - cannot both write to standard output");
  }
  return cli;
}

}  // namespace tarn
