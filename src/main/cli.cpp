#include "main/cli.h"

#include <algorithm>
#include <expected>

#include <CLI/CLI.hpp>

namespace tarn {
namespace {

constexpr const char* k_about =
    "tarn-dbt-plan: a static microbatch cascading time-window planner for dbt. Never executes "
    "anything: it prints and writes the plan, and leaves every rebuild to dbt";

constexpr std::string_view k_hyphen_value_option = "--dbt-args";
constexpr std::string_view k_switches[] = {"--pretty", "--html"};

bool looks_like_option(std::string_view word) {
  return word.size() > 1 && word.front() == '-';
}

/// Brings the argument vector into the shape CLI11 parses as intended: only
/// --dbt-args may take a value that begins with a hyphen (glued on as
/// "--dbt-args=VALUE"); for every other option such a word is the next option,
/// so the value is missing; and a switch takes no value at all. The program
/// name (first) is left out.
std::expected<std::vector<std::string>, std::string> prepare_arguments(
    const CLI::App& app, const std::vector<std::string>& args) {
  std::vector<std::string> prepared;
  prepared.reserve(args.size());
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool has_next = i + 1 < args.size();
    if (word == k_hyphen_value_option && has_next && looks_like_option(args[i + 1])) {
      prepared.push_back(word + "=" + args[i + 1]);
      ++i;
      continue;
    }
    const CLI::Option* option = app.get_option_no_throw(word);
    if (option != nullptr && option->get_expected_min() > 0 && word != k_hyphen_value_option &&
        (!has_next || looks_like_option(args[i + 1]))) {
      return std::unexpected("a value is required for '" + word + "' but none was supplied");
    }
    const std::string name = word.substr(0, word.find('='));
    if (name.size() < word.size() && std::ranges::find(k_switches, name) != std::end(k_switches)) {
      return std::unexpected("unexpected value for '" + name + "': it takes no value");
    }
    prepared.push_back(word);
  }
  return prepared;
}

/// An option given a value sets its field, so no parser-level default ever
/// hides an absence.
CLI::Option* add_value(CLI::App& app, std::optional<std::string>& field, const std::string& names,
                       const char* value_name, const char* help) {
  return app
      .add_option_function<std::string>(
          names, [&field](const std::string& value) { field = value; }, help)
      ->type_name(value_name);
}

void define_options(CLI::App& app, Cli& cli) {
  app.add_option("-s,--select", cli.select,
                 "The dbt selector of the models to plan, passed unchanged to `dbt ls --select`, "
                 "so every part of dbt's selector syntax works as it does in dbt")
      ->required()
      ->type_name("SELECT");
  add_value(app, cli.exclude, "--exclude", "EXCLUDE",
            "Models to leave out, passed unchanged to `dbt ls --exclude`");
  add_value(app, cli.event_time_start, "--event-time-start", "EVENT_TIME_START",
            "First day of the Anchor window (YYYY-MM-DD). Give it together with "
            "`--event-time-end`, or leave both out to plan every Entry Node for yesterday (UTC)");
  add_value(app, cli.event_time_end, "--event-time-end", "EVENT_TIME_END",
            "Last day of the Anchor window (YYYY-MM-DD), inclusive. Give it together with "
            "`--event-time-start`, or leave both out");
  add_value(app, cli.project_dir, "--project-dir", "PROJECT_DIR",
            "The dbt project directory. Defaults to the current directory");
  add_value(app, cli.manifest, "--manifest", "MANIFEST",
            "Path to the compiled manifest. Defaults to `<project-dir>/target/manifest.json`");
  add_value(app, cli.output_file, "-o,--output-file", "OUTPUT_FILE",
            "Where to write the plan JSON. Defaults to `<project-dir>/target/tarn/dbt_plan.json`");
  app.add_flag("--pretty", cli.pretty,
               "Also renders an ASCII tree of the plan to the terminal, in addition to writing "
               "the JSON")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_flag("--html", cli.html,
               "Also writes a self-contained, interactive HTML report to "
               "`<project-dir>/target/tarn/dbt-plan/dbt_plan_<timestamp>.html`, whatever "
               "`--output-file` says. Off unless given")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  add_value(app, cli.dbt_command, "--dbt-command", "DBT_COMMAND",
            "The command that runs dbt, for every dbt call this program makes (`dbt parse` when "
            "the manifest is stale, `dbt ls` for the selection). Taken from this option, else "
            "from `dbt-command` in `tarn.yml`, else `dbt`");
  add_value(app, cli.dbt_args, "--dbt-args", "DBT_ARGS",
            "Extra arguments added to every dbt call, split like shell words (e.g. `\"--target "
            "ci\"`); the value may itself start with `--`. Taken from this option, else from "
            "`dbt-args` in `tarn.yml`, else none");
  add_value(app, cli.against, "--against", "AGAINST",
            "The git ref that `state:` selectors compare against, when `--state` is not given: "
            "the baseline is compiled at the merge-base of HEAD and this ref. Taken from this "
            "option, else from `against` in `tarn.yml`, else `master`");
  add_value(app, cli.state, "--state", "STATE",
            "A directory holding an already compiled baseline manifest, passed to `dbt ls "
            "--state` for `state:` selectors. When given, git is not used and `--against` has no "
            "effect");
  add_value(app, cli.anchor, "--anchor", "ANCHOR",
            "Places the window on this one selected model instead of on every Entry Node: its "
            "selected ancestors get the windows that lead up to it, then the window cascades "
            "downstream as usual. Needs `--event-time-start` and `--event-time-end`; the model "
            "must be in the selection");
  add_value(app, cli.runbook, "--runbook", "FILE",
            "Also writes a shell script of the dbt commands that rebuild the plan, stage by stage "
            "and each with its own dates, to this file (`-` for the terminal). The script is only "
            "written, never run");
  add_value(app, cli.runbook_command, "--runbook-command", "COMMAND",
            "The dbt command the run-book uses for every model: `run` (the default) or `build`")
      ->check(CLI::IsMember({"run", "build"}));
  add_value(app, cli.summary, "--summary", "FILE",
            "Also writes a Markdown summary of the plan, with the run-book folded in, to this "
            "file (`-` for the terminal). In a GitHub Actions step: `--summary - >> "
            "\"$GITHUB_STEP_SUMMARY\"`");
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
  define_options(app, cli);
  // Defined last so that they close the option list in the help.
  app.set_help_flag("-h,--help", "Print help");
  app.set_version_flag("-V,--version", "tarn-dbt-plan " TARN_VERSION, "Print version");

  auto prepared = prepare_arguments(app, args);
  if (!prepared) {
    return usage_error(app, prepared.error());
  }
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(prepared->rbegin(), prepared->rend()));
  } catch (const CLI::CallForHelp&) {
    return CliExit{0, app.help(), ""};
  } catch (const CLI::CallForVersion& version) {
    return CliExit{0, std::string(version.what()) + "\n", ""};
  } catch (const CLI::ParseError& error) {
    return usage_error(app, error.what());
  }
  if (cli.runbook == "-" && cli.summary == "-") {
    return usage_error(app, "--runbook - and --summary - cannot both write to standard output");
  }
  return cli;
}

}  // namespace tarn
