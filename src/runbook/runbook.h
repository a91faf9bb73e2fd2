#pragma once
// From plan to action: the dbt invocations that rebuild a plan, written as a
// POSIX shell script (the run-book) and as a Markdown summary for CI pages.
// Nothing here runs dbt; the user runs the script.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "manifest/manifest.h"
#include "plan/plan.h"

namespace tarn {

/// The printed names of the selected models that dbt builds batch by batch
/// (incremental with the microbatch strategy); every other model is rebuilt
/// whole.
std::unordered_set<std::string> microbatch_models(const Manifest& manifest,
                                                  const Selection& selection);

/// One dbt invocation: the models of one stage that share one window, in
/// the plan's order. Without a window the models are rebuilt whole.
struct Invocation {
  std::uint64_t stage = 0;
  std::optional<Window> window;
  std::vector<std::string> models;
};

/// A model runs in the stage after a parent whose window differs from its
/// own, and in the parent's stage when the windows are equal (dbt orders the
/// models inside one invocation). Stages ascend; within a stage windows
/// ascend by their dates and whole rebuilds come last.
std::vector<Invocation> group_invocations(const Plan& plan,
                                          const std::unordered_set<std::string>& microbatch);

/// A window that ends before it starts has no dbt range: a warning per model.
std::vector<PlanWarning> runbook_warnings(const std::vector<Invocation>& invocations);

struct RunbookInfo {
  std::string select;
  std::optional<std::string> exclude;
  std::vector<std::string> dbt_command;  // the dbt command text split into words
  std::vector<std::string> dbt_args;     // the extra dbt words
  std::string subcommand = "run";        // "run" or "build"
  std::int64_t made_at = 0;              // seconds since the Unix epoch
};

std::string render_runbook(const Plan& plan, const std::vector<Invocation>& invocations,
                           const RunbookInfo& info);

/// Markdown: the selector and anchor window, one table row per model, the
/// warnings, and the run-book folded away in a <details> section.
std::string render_summary(const Plan& plan, const std::vector<PlanWarning>& runbook_warnings,
                           std::string_view runbook, const RunbookInfo& info);

}  // namespace tarn
