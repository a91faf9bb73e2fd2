#include "main/run.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

#include "config/config.h"
#include "date/date.h"
#include "html/html_report.h"
#include "main/cli.h"
#include "manifest/manifest.h"
#include "output/plan_json.h"
#include "output/tree.h"
#include "output/write_atomically.h"
#include "plan/plan.h"
#include "refresh/refresh.h"
#include "runbook/runbook.h"
#include "select/select.h"
#include "state/state.h"
#include "util/fd.h"
#include "util/interrupt.h"
#include "util/shell_words.h"
#include "util/text.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

/// Standard output and standard error. A failed write never stops the run
/// (the plan file must still be completed); the first one to standard output
/// is only remembered.
struct Console {
  int out_failure = 0;  // the error number of the first failed write to standard output

  void out(std::string_view text) {
    if (const int failure = write_all(STDOUT_FILENO, text); failure != 0 && out_failure == 0) {
      out_failure = failure < 0 ? EIO : failure;
    }
  }
  // Nothing can be reported about a failing standard error.
  void err(std::string_view text) { (void)write_all(STDERR_FILENO, text); }
};

/// Why a run stopped early: the message after "error: " and the exit status.
struct Failure {
  std::string message;
  int status = 1;
};

template <typename T>
using Step = std::expected<T, Failure>;

std::unexpected<Failure> failed(std::string message) {
  return std::unexpected(Failure{std::move(message)});
}

/// An interruption seen between two steps ends the run as a failure whose
/// status tells the signal, after everything held has been released.
std::optional<Failure> interruption() {
  std::optional<int> signal = pending_interrupt();
  if (!signal) {
    return std::nullopt;
  }
  const char* name = sigabbrev_np(*signal);
  return Failure{"interrupted by SIG" + std::string(name ? name : "?"), 128 + *signal};
}

/// The checks before any other work; the --anchor one comes before anything touches the disk.
Step<void> check_anchor_and_project(const Cli& cli, const fs::path& project_dir) {
  if (cli.anchor && (!cli.event_time_start || !cli.event_time_end)) {
    return failed(
        "--anchor requires --event-time-start and --event-time-end to both be passed explicitly "
        "-- there is no yesterday-default when --anchor is used");
  }
  std::error_code ec;
  (void)fs::status(project_dir / "dbt_project.yml", ec);
  if (ec) {
    return failed(
        display_path(project_dir) +
        " does not look like a dbt project -- no dbt_project.yml found there. tarn-dbt-plan only "
        "works inside a dbt project: run it from the project root, or pass --project-dir pointing "
        "at one.");
  }
  return {};
}

/// The explicit Anchor window, if both options are given; parsed only after
/// all dbt work, so that a typo in a date never hides a dbt problem.
Step<std::optional<Window>> explicit_window(const Cli& cli) {
  if (!cli.event_time_start && !cli.event_time_end) {
    return std::optional<Window>{};
  }
  if (!cli.event_time_start || !cli.event_time_end) {
    return failed("--event-time-start and --event-time-end must be passed together, or not at all");
  }
  auto invalid = [](const std::string& text) {
    return failed(quoted_value(decode_lossy(text)) + " is not a valid YYYY-MM-DD date");
  };
  const auto start = parse_date(*cli.event_time_start);
  if (!start) {
    return invalid(*cli.event_time_start);
  }
  const auto end = parse_date(*cli.event_time_end);
  if (!end) {
    return invalid(*cli.event_time_end);
  }
  return std::optional<Window>{Window{*start, *end}};
}

/// The run-book and the summary, made only when one of them is asked for.
struct RunbookTexts {
  std::string runbook;
  std::string summary;
  std::vector<PlanWarning> warnings;
};

class Driver {
 public:
  Driver(const Cli& cli, Console& console) : cli_(cli), console_(console) {}

  /// The whole run after parsing the command line. The baseline lives in this frame, so it is
  /// released before the caller prints an error, and after the last output otherwise.
  Step<void> execute() {
    const fs::path project_dir(cli_.project_dir.value_or("."));
    if (auto checked = check_anchor_and_project(cli_, project_dir); !checked) {
      return checked;
    }
    auto config = load_project_config(project_dir);
    if (!config) {
      return failed(config.error());
    }
    for (const std::string& warning : config->warnings) {
      console_.err("warning: " + warning + "\n");
    }
    const fs::path manifest_path =
        cli_.manifest ? fs::path(*cli_.manifest) : project_dir / "target" / "manifest.json";
    auto settings =
        resolve_settings(SettingOptions{cli_.dbt_command, cli_.dbt_args, cli_.against}, *config);
    if (!settings) {
      return failed(settings.error());
    }
    auto refreshed =
        refresh_manifest(project_dir, manifest_path, settings->dbt_command, settings->dbt_args);
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    if (!refreshed) {
      return failed(refreshed.error());
    }
    auto manifest = load_manifest(manifest_path);
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    if (!manifest) {
      return failed(manifest.error().message());
    }
    return plan_and_report(project_dir, manifest_path, *settings, *manifest);
  }

 private:
  Step<void> plan_and_report(const fs::path& project_dir, const fs::path& manifest_path,
                             const EffectiveSettings& settings, const Manifest& manifest) {
    auto baseline = prepare_state_baseline(
        BaselineRequest{project_dir, cli_.select, cli_.exclude,
                        cli_.state ? std::optional<fs::path>(*cli_.state) : std::nullopt,
                        settings.against, settings.dbt_command, settings.dbt_args});
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    if (!baseline) {
      return failed(baseline.error());
    }
    auto selection =
        select_models(SelectRequest{project_dir, settings.dbt_command, settings.dbt_args,
                                    cli_.select, cli_.exclude, baseline->state_dir()},
                      manifest);
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    if (!selection) {
      return failed(selection.error());
    }
    auto window = explicit_window(cli_);
    if (!window) {
      return std::unexpected(window.error());
    }
    auto plan =
        generate(manifest, *selection, *window, settings.max_window_expansion_days, cli_.anchor);
    if (!plan) {
      return failed(plan.error());
    }
    PlanRunInfo info{cli_.select, display_path(manifest_path), settings.dbt_command,
                     manifest.generated_at, settings.max_window_expansion_days};
    auto runbook = make_runbook(*plan, manifest, *selection, settings);
    if (!runbook) {
      return std::unexpected(runbook.error());
    }
    if (auto reported = report(project_dir, *plan, info, *runbook); !reported) {
      return reported;
    }
    print_notes(*plan, selection->empty(), runbook->warnings);
    baseline->release();
    return {};
  }

  Step<RunbookTexts> make_runbook(const Plan& plan, const Manifest& manifest,
                                  const Selection& selection, const EffectiveSettings& settings) {
    RunbookTexts texts;
    if (!cli_.runbook && !cli_.summary) {
      return texts;
    }
    auto command = split_shell_words(settings.dbt_command);
    if (!command) {
      return failed("--dbt-command: " + command.error());
    }
    const RunbookInfo info{cli_.select,
                           cli_.exclude,
                           *command,
                           settings.dbt_args,
                           cli_.runbook_command.value_or("run"),
                           unix_seconds_now()};
    const auto invocations = group_invocations(plan, microbatch_models(manifest, selection));
    texts.runbook = render_runbook(plan, invocations, info);
    texts.warnings = runbook_warnings(invocations);
    if (cli_.summary) {
      texts.summary = render_summary(plan, texts.warnings, texts.runbook, info);
    }
    return texts;
  }

  /// "-" sends the text to standard output, after the tree.
  Step<void> emit(const std::optional<std::string>& destination, const std::string& text) {
    if (destination == "-") {
      console_.out(text);
    } else if (destination) {
      if (auto written = write_atomically(fs::path(*destination), text); !written) {
        return failed(written.error());
      }
    }
    return {};
  }

  Step<void> report(const fs::path& project_dir, const Plan& plan, const PlanRunInfo& info,
                    const RunbookTexts& runbook) {
    const fs::path output_path = cli_.output_file
                                     ? fs::path(*cli_.output_file)
                                     : project_dir / "target" / "tarn" / "dbt_plan.json";
    if (auto written = write_atomically(output_path, render_plan_json(plan, info)); !written) {
      return failed(written.error());
    }
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    if (cli_.pretty) {
      console_.out(render_tree(plan));
    }
    if (auto emitted = emit(cli_.runbook, runbook.runbook); !emitted) {
      return emitted;
    }
    if (auto emitted = emit(cli_.summary, runbook.summary); !emitted) {
      return emitted;
    }
    if (cli_.html) {
      const fs::path report_path = html_report_path(project_dir);
      if (auto written = write_atomically(report_path, render_html_report(plan)); !written) {
        return failed(written.error());
      }
      console_.out("wrote " + display_path(report_path) + "\n");
    }
    if (auto stop = interruption()) {
      return std::unexpected(*stop);
    }
    return {};
  }

  /// One write for all of them: a large project can have tens of thousands
  /// of warnings, and a write each costs more than planning them did.
  void print_notes(const Plan& plan, bool nothing_selected,
                   const std::vector<PlanWarning>& runbook_warnings) {
    std::string notes;
    // dbt's own word on a selector that matches nothing is hidden by --quiet.
    if (nothing_selected) {
      notes.append("note: --select ").append(cli_.select);
      if (cli_.exclude) {
        notes.append(" --exclude ").append(*cli_.exclude);
      }
      notes.append(" matched no models\n");
    }
    if (auto note = plan.default_yesterday_note()) {
      notes += *note + "\n";
    }
    for (const auto* warnings : {&plan.warnings, &runbook_warnings}) {
      for (const PlanWarning& warning : *warnings) {
        notes.append("warning: ").append(warning.model).append(": ");
        notes.append(warning.message).append("\n");
      }
    }
    console_.err(notes);
  }

  const Cli& cli_;
  Console& console_;
};

}  // namespace

int run(const std::vector<std::string>& args) {
  Console console;
  auto parsed = parse_cli(args);
  if (auto* exit = std::get_if<CliExit>(&parsed)) {
    console.out(exit->out);
    console.err(exit->err);
    return exit->status;
  }
  auto outcome = Driver(std::get<Cli>(parsed), console).execute();
  if (!outcome) {
    console.err("error: " + outcome.error().message + "\n");
    return outcome.error().status;
  }
  if (console.out_failure != 0) {
    // The plan file is complete; only the requested terminal output was lost.
    console.err("error: could not write to standard output: " +
                system_error_text(console.out_failure) + "\n");
    return 1;
  }
  return 0;
}

}  // namespace tarn
