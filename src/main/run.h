#pragma once

#include <string>
#include <vector>

namespace tarn {

/// One planning pass for one command line (program name first); returns the
/// exit status. The only place that prints or chooses an exit status.
int run(const std::vector<std::string>& args);

}  // namespace tarn
