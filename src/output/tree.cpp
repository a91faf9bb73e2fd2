#include "output/tree.h"

#include <fmt/format.h>

#include "date/date.h"

namespace tarn {

std::string render_tree(const Plan& plan) {
  std::string text;
  for (const PlannedModel& model : plan.models) {
    text.append(2 * model.layer, ' ');
    fmt::format_to(std::back_inserter(text), "[layer {}] {} [{} .. {}]\n", model.layer, model.name,
                   format_date(model.event_time_start), format_date(model.event_time_end));
  }
  return text;
}

}  // namespace tarn
