#include "runbook/runbook.h"

#include <algorithm>
#include <map>
#include <ranges>
#include <tuple>
#include <unordered_map>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "date/date.h"
#include "util/shell_words.h"

namespace tarn {
namespace {

/// Orders the invocations: by stage, then windows by their dates, whole
/// rebuilds (no window) last.
using GroupKey = std::tuple<std::uint64_t, bool, std::optional<Window>>;

std::string window_text(const Window& window) {
  return format_date(window.start) + " to " + format_date(window.end);
}

/// A comment must stay on its line whatever a name or selector holds.
std::string comment(std::string_view text) {
  std::string line = "# ";
  for (char c : text) {
    line += (c == '\n' || c == '\r') ? ' ' : c;
  }
  line += '\n';
  return line;
}

std::string anchor_text(const Plan& plan) {
  if (plan.default_yesterday) {
    return "yesterday, " + format_date(plan.anchor_window.start) +
           " (no --event-time-start/--event-time-end given)";
  }
  std::string text = window_text(plan.anchor_window);
  if (plan.anchor_model) {
    text += ", on " + *plan.anchor_model;
  }
  return text;
}

std::string selector_text(const RunbookInfo& info) {
  std::string text = "--select " + quote_shell_word(info.select);
  if (info.exclude) {
    text += " --exclude " + quote_shell_word(*info.exclude);
  }
  return text;
}

std::string header(const Plan& plan, const RunbookInfo& info) {
  std::string text = "#!/bin/sh\n";
  text += comment("The dbt commands that rebuild this plan, stage by stage (tarn-dbt-plan).");
  text += comment("Made " + format_utc_timestamp(info.made_at) + " for " + selector_text(info));
  text += comment("Anchor window: " + anchor_text(plan));
  text += comment("dbt's --event-time-end is exclusive, so each command ends the day after the");
  text += comment("window's last day: exactly the planned days for daily batches, and a cover");
  text += comment("of them for hourly, monthly and yearly ones.");
  text += "set -e\n";
  return text;
}

std::string days_text(const Window& window) {
  const std::int64_t days = window.end.days - window.start.days + 1;
  return fmt::format("{} day{}", days, days == 1 ? "" : "s");
}

std::string command_line(const Invocation& invocation, const RunbookInfo& info) {
  std::vector<std::string> words = info.dbt_command;
  words.push_back(info.subcommand);
  words.push_back("--select");
  words.insert(words.end(), invocation.models.begin(), invocation.models.end());
  if (invocation.window) {
    words.insert(words.end(),
                 {"--event-time-start", format_date(invocation.window->start), "--event-time-end",
                  format_date(shift_forward(invocation.window->end, 1, WindowUnit::day))});
  }
  words.insert(words.end(), info.dbt_args.begin(), info.dbt_args.end());
  return fmt::format("{}\n", fmt::join(words | std::views::transform(quote_shell_word), " "));
}

std::string invocation_text(const Invocation& invocation, const RunbookInfo& info) {
  std::string stage = fmt::format("Stage {}", invocation.stage);
  if (!invocation.window) {
    return "\n" + comment(stage + ", rebuilt whole (not microbatch models)") +
           command_line(invocation, info);
  }
  const Window& window = *invocation.window;
  if (window.end < window.start) {
    return "\n" +
           comment(fmt::format("{}, no command: the window {} ends before it starts ({})", stage,
                               window_text(window), fmt::join(invocation.models, ", ")));
  }
  return "\n" + comment(stage + ", " + days_text(window) + ": " + window_text(window)) +
         command_line(invocation, info);
}

}  // namespace

std::unordered_set<std::string> microbatch_models(const Manifest& manifest,
                                                  const Selection& selection) {
  std::unordered_set<std::string> names;
  for (const std::string& id : selection) {
    const auto found = manifest.nodes.find(id);
    if (found != manifest.nodes.end() && found->second.materialized == "incremental" &&
        found->second.incremental_strategy == "microbatch") {
      names.insert(printed_name(found->second));
    }
  }
  return names;
}

std::vector<Invocation> group_invocations(const Plan& plan,
                                          const std::unordered_set<std::string>& microbatch) {
  struct Placed {
    std::uint64_t stage = 0;
    std::optional<Window> window;
  };
  std::unordered_map<std::string, Placed> placed;
  std::map<GroupKey, std::vector<std::string>> groups;
  // The plan lists every parent before its children.
  for (const PlannedModel& model : plan.models) {
    Placed here;
    if (microbatch.contains(model.name)) {
      here.window = Window{model.event_time_start, model.event_time_end};
    }
    for (const std::string& parent_name : model.depends_on) {
      auto parent = placed.find(parent_name);
      if (parent == placed.end()) {
        continue;
      }
      const std::uint64_t step = parent->second.window == here.window ? 0 : 1;
      here.stage = std::max(here.stage, parent->second.stage + step);
    }
    placed.emplace(model.name, here);
    groups[{here.stage, !here.window, here.window}].push_back(model.name);
  }
  std::vector<Invocation> invocations;
  invocations.reserve(groups.size());
  for (auto& [key, models] : groups) {
    const auto& [stage, whole, window] = key;
    invocations.push_back(Invocation{stage, window, std::move(models)});
  }
  return invocations;
}

std::vector<PlanWarning> runbook_warnings(const std::vector<Invocation>& invocations) {
  std::vector<PlanWarning> warnings;
  for (const Invocation& invocation : invocations) {
    if (!invocation.window || invocation.window->start <= invocation.window->end) {
      continue;
    }
    for (const std::string& model : invocation.models) {
      warnings.push_back(PlanWarning{
          model, "window " + window_text(*invocation.window) +
                     " ends before it starts -- the run-book has no dbt command for it"});
    }
  }
  return warnings;
}

std::string render_runbook(const Plan& plan, const std::vector<Invocation>& invocations,
                           const RunbookInfo& info) {
  std::string text = header(plan, info);
  if (invocations.empty()) {
    text += "\n" + comment("Nothing to rebuild: the selector matched no models.");
  }
  for (const Invocation& invocation : invocations) {
    text += invocation_text(invocation, info);
  }
  return text;
}

}  // namespace tarn
