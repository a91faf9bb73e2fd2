#include "util/interrupt.h"

namespace tarn {
void install_interrupt_handlers() {}
std::optional<int> pending_interrupt() {
  return std::nullopt;
}
void set_foreground_child(pid_t) {}
}  // namespace tarn
