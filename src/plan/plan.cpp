#include "plan/plan.h"

#include <algorithm>

#include <fmt/format.h>

#include "plan/graph.h"
#include "util/text.h"

namespace tarn {

using plan_detail::Index;

std::optional<std::string> Plan::default_yesterday_note() const {
  if (!default_yesterday) {
    return std::nullopt;
  }
  return fmt::format(
      "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node to "
      "yesterday ({})",
      format_date(anchor_window.start));
}

std::string PlanError::message() const {
  switch (kind) {
    case Kind::anchor_not_in_selection:
      return fmt::format("--anchor {} is not among the {} model(s) selected by --select: {}",
                         quoted_value(anchor), selected_count, listing);
    case Kind::anchor_names_several_versions:
      return fmt::format(
          "--anchor {} names a versioned model with {} versions selected by --select -- pass "
          "one of them: {}",
          quoted_value(anchor), selected_count, listing);
    case Kind::cycle:
      break;
  }
  return "the selected models form a cycle and have no Entry Node -- this shouldn't be possible "
         "against a real dbt-compiled manifest; check that --manifest points at a genuine `dbt "
         "compile`/`dbt parse` output";
}

namespace {

// Day counts of windows whose ends lie near the limits of the day range do
// not fit in 64 bits.
__extension__ using WideDays = __int128;

std::string wide_to_string(WideDays value) {
  if (value >= std::numeric_limits<std::int64_t>::min() &&
      value <= std::numeric_limits<std::int64_t>::max()) {
    return std::to_string(static_cast<std::int64_t>(value));
  }
  const bool negative = value < 0;
  std::string digits;
  for (; value != 0; value /= 10) {
    const auto digit = static_cast<int>(value % 10);
    digits += static_cast<char>('0' + (negative ? -digit : digit));
  }
  if (negative) {
    digits += '-';
  }
  std::reverse(digits.begin(), digits.end());
  return digits;
}

class ForwardPass {
 public:
  ForwardPass(const plan_detail::SelectedGraph& graph,
              const std::vector<std::optional<Window>>& seeded, std::int64_t limit, Plan& plan)
      : graph_(graph),
        seeded_(seeded),
        limit_(limit),
        plan_(plan),
        windows_(graph.size()),
        layers_(graph.size(), 0) {}

  void plan_model(Index model) {
    const plan_detail::ModelFacts& facts = graph_.models[model];
    const std::string_view name = graph_.names[model];
    const auto parents = graph_.parents.row(model);
    const Window window = window_of(model);
    windows_[model] = window;
    layers_[model] = layer_of(parents);
    warn_if_expanded(name, window);
    if (facts.declares_meta && !facts.has_event_time) {
      plan_.warnings.push_back(
          {std::string(name),
           "declares config.meta.tarn (lookback/lookahead) but has no event_time configured -- "
           "this isn't a microbatch model in dbt's own terms, so this config has no real effect"});
    }

    PlannedModel planned{std::string(name),   window.start,    window.end,           facts.lookback,
                         facts.lookback_unit, facts.lookahead, facts.lookahead_unit, {},
                         layers_[model]};
    planned.depends_on.reserve(parents.size());
    for (Index parent : parents) {
      planned.depends_on.emplace_back(graph_.names[parent]);
    }
    plan_.models.push_back(std::move(planned));
  }

 private:
  Window window_of(Index model) const {
    if (!seeded_.empty() && seeded_[model]) {
      return *seeded_[model];
    }
    const auto parents = graph_.parents.row(model);
    if (parents.empty()) {
      return plan_.anchor_window;
    }
    std::optional<Window> window;
    for (Index parent : parents) {
      const Window widened =
          plan_detail::widen_through_edge(windows_[parent], graph_.models[model], graph_, parent);
      window = window ? Window{std::min(window->start, widened.start),
                               std::max(window->end, widened.end)}
                      : widened;
    }
    return *window;
  }

  std::uint64_t layer_of(std::span<const Index> parents) const {
    if (parents.empty()) {
      return 0;
    }
    std::uint64_t deepest = 0;
    for (Index parent : parents) {
      deepest = std::max(deepest, layers_[parent]);
    }
    return deepest + 1;
  }

  void warn_if_expanded(std::string_view name, Window window) {
    const WideDays days = WideDays{window.end.days} - window.start.days + 1;
    if (days > limit_) {
      plan_.warnings.push_back(
          {std::string(name),
           fmt::format("expanded window ({} days) exceeds max_window_expansion_days ({})",
                       wide_to_string(days), limit_)});
    }
  }

  const plan_detail::SelectedGraph& graph_;
  const std::vector<std::optional<Window>>& seeded_;
  std::int64_t limit_;
  Plan& plan_;
  std::vector<Window> windows_;
  std::vector<std::uint64_t> layers_;
};

}  // namespace

std::expected<Plan, PlanError> generate(const Manifest& manifest, const Selection& selection,
                                        std::optional<Window> explicit_window,
                                        std::int64_t max_window_expansion_days,
                                        const std::optional<std::string>& anchor) {
  Plan plan;
  plan.default_yesterday = !explicit_window;
  if (explicit_window) {
    plan.anchor_window = *explicit_window;
  } else {
    const Date day = yesterday();
    plan.anchor_window = {day, day};
  }

  const plan_detail::SelectedGraph graph = plan_detail::build_selected_graph(manifest, selection);
  const auto order = plan_detail::kahn_order(graph.parents);
  if (!order) {
    return std::unexpected(PlanError{});
  }
  std::vector<std::optional<Window>> seeded;
  if (anchor) {
    auto seeds = plan_detail::seed_anchor_windows(graph, *anchor, plan.anchor_window);
    if (!seeds) {
      return std::unexpected(std::move(seeds.error()));
    }
    seeded = std::move(seeds->windows);
    plan.anchor_model = std::string(graph.names[seeds->anchor]);
  }

  plan.models.reserve(order->size());
  ForwardPass pass(graph, seeded, max_window_expansion_days, plan);
  for (Index model : *order) {
    pass.plan_model(model);
  }
  return plan;
}

}  // namespace tarn
