#include <csignal>

#include "main/run.h"
#include "util/interrupt.h"

int main(int argc, char** argv) {
  // A closed standard output or a file-size limit must surface as a failed
  // write, not end the process before the plan file is complete.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  tarn::install_interrupt_handlers();
  return tarn::run({argv, argv + argc});
}
