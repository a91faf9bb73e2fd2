#pragma once

#include <string>

#include "plan/plan.h"

namespace tarn {

/// One line per planned model, indented two spaces per layer.
std::string render_tree(const Plan& plan);

}  // namespace tarn
