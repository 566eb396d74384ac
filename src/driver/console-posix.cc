#include "driver/console.h"

#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace {

// The terminal as it was before the wait, for the handlers to put back.
termios before;
termios keyed;

constexpr int waitsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void keymode() { tcsetattr(0, TCSAFLUSH, &keyed); }
void restore() { tcsetattr(0, TCSANOW, &before); }

// A signal during the wait: the terminal is put back first, then the
// signal takes its usual course. A stop (Ctrl-Z) comes back here once the
// run is continued, and the wait goes on.
extern "C" void leavewait(int sig) {
  const int saved = errno;
  restore();
  struct sigaction usual {}, mine {};
  usual.sa_handler = SIG_DFL;
  sigemptyset(&usual.sa_mask);
  sigaction(sig, &usual, &mine);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  sigaction(sig, &mine, nullptr);
  keymode();
  errno = saved;
}

}  // namespace

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
  // Only a terminal in whose foreground the run is has a key to press;
  // standard input of any other kind belongs to whoever started the run.
  if (isatty(0) != 1 || tcgetpgrp(0) != getpgrp() || tcgetattr(0, &before) != 0) return;
  keyed = before;
  keyed.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  keyed.c_cc[VMIN] = 1;
  keyed.c_cc[VTIME] = 0;
  struct sigaction action {}, old[std::size(waitsignals)];
  action.sa_handler = leavewait;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(waitsignals); ++i) {
    sigaction(waitsignals[i], nullptr, &old[i]);
    if (old[i].sa_handler != SIG_IGN) sigaction(waitsignals[i], &action, nullptr);
  }
  keymode();
  char key;
  while (read(0, &key, 1) < 0 && errno == EINTR) {
  }
  restore();
  for (size_t i = 0; i < std::size(waitsignals); ++i) sigaction(waitsignals[i], &old[i], nullptr);
}

void restoreconsole() {}
