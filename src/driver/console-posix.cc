#include "driver/console.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>


void setupprocess() {
  // Whoever started the run may have left SIGCHLD ignored; then the kernel
  // would reap the workers itself and hide how each one ended.
  std::signal(SIGCHLD, SIG_DFL);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);  // a file size limit: a write error, reported
  const rlimit nocore{0, 0};
  setrlimit(RLIMIT_CORE, &nocore);
}

bool logisterminal() { return isatty(1) == 1; }

void waitforkey() {
  char byte;
  while (read(0, &byte, 1) < 0 && errno == EINTR) {
  }
}
