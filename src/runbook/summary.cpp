#include <algorithm>
#include <cctype>
#include <ranges>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "date/date.h"
#include "runbook/runbook.h"

namespace tarn {
namespace {

// The program never sets a locale, so these classify ASCII alone.
bool is_alphanumeric(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

/// Punctuation left bare because it cannot start markup inside a line: an
/// underscore between two letters or digits never opens or closes emphasis.
bool harmless_here(std::string_view text, std::size_t at) {
  const char c = text[at];
  if (c == '-' || c == '.' || c == ',') {
    return true;
  }
  return c == '_' && at > 0 && at + 1 < text.size() && is_alphanumeric(text[at - 1]) &&
         is_alphanumeric(text[at + 1]);
}

/// Text that shows as itself in Markdown, inside a table cell too: no markup,
/// no link, no HTML, no line break.
std::string escape_markdown(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      // A line break would end the table row; a reference shows the byte.
      out += fmt::format("&#x{:X};", static_cast<unsigned>(c));
    } else if (std::ispunct(static_cast<unsigned char>(c)) != 0 && !harmless_here(text, at)) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string amount_text(std::int64_t amount, WindowUnit unit) {
  return fmt::format("{} {}", amount, unit_name(unit));
}

std::string table(const Plan& plan) {
  std::string text =
      "| layer | model | window | days | lookback | lookahead | selected parents |\n"
      "| ---: | --- | --- | ---: | --- | --- | --- |\n";
  for (const PlannedModel& model : plan.models) {
    fmt::format_to(std::back_inserter(text), "| {} | {} | {} to {} | {} | {} | {} | {} |\n",
                   model.layer, escape_markdown(model.name), format_date(model.event_time_start),
                   format_date(model.event_time_end),
                   model.event_time_end.days - model.event_time_start.days + 1,
                   amount_text(model.lookback, model.lookback_unit),
                   amount_text(model.lookahead, model.lookahead_unit),
                   fmt::join(model.depends_on | std::views::transform(escape_markdown), ", "));
  }
  return text;
}

std::string warnings(const Plan& plan, const std::vector<PlanWarning>& runbook_warnings) {
  if (plan.warnings.empty() && runbook_warnings.empty()) {
    return "";
  }
  std::string text = "\n**Warnings**\n\n";
  for (const auto* list : {&plan.warnings, &runbook_warnings}) {
    for (const PlanWarning& warning : *list) {
      text +=
          "- " + escape_markdown(warning.model) + ": " + escape_markdown(warning.message) + "\n";
    }
  }
  return text;
}

/// A fence longer than any run of backticks in the script, so that no line
/// of it can close the code block early.
std::string fence_for(std::string_view code) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (char c : code) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return std::string(std::max<std::size_t>(3, longest + 1), '`');
}

std::string folded_runbook(std::string_view runbook) {
  const std::string fence = fence_for(runbook);
  std::string text =
      "\n<details>\n<summary>Run-book: the dbt commands that rebuild this plan</summary>\n\n" +
      fence + "sh\n";
  text.append(runbook).append(fence).append("\n\n</details>\n");  // runbook ends with "\n"
  return text;
}

std::string anchor_line(const Plan& plan) {
  std::string text = "- Anchor window: " + format_date(plan.anchor_window.start) + " to " +
                     format_date(plan.anchor_window.end);
  if (plan.default_yesterday) {
    text += " (yesterday: no --event-time-start/--event-time-end given)";
  }
  if (plan.anchor_model) {
    text += ", on " + escape_markdown(*plan.anchor_model);
  }
  return text + "\n";
}

}  // namespace

std::string render_summary(const Plan& plan, const std::vector<PlanWarning>& runbook_warnings,
                           std::string_view runbook, const RunbookInfo& info) {
  std::string text = fmt::format("### tarn-dbt-plan: {} model{} to rebuild\n\n", plan.models.size(),
                                 plan.models.size() == 1 ? "" : "s");
  text += "- Selector: --select " + escape_markdown(info.select);
  if (info.exclude) {
    text += " --exclude " + escape_markdown(*info.exclude);
  }
  text += "\n" + anchor_line(plan);
  text += "- Made: " + format_utc_timestamp(info.made_at) + "\n\n";
  return text + table(plan) + warnings(plan, runbook_warnings) + folded_runbook(runbook);
}

}  // namespace tarn
