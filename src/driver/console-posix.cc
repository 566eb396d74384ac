#include "driver/console.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// How long the next byte of a key may take: the bytes of one key come
// together, even over a slow link; a key pressed later is the shell's.
constexpr int keybytems = 100;
// The longest escape sequence read as one key; a longer one is cut there.
constexpr int longestsequence = 32;

void keymode() { tcsetattr(0, TCSAFLUSH, &keyed); }
void restore() { tcsetattr(0, TCSANOW, &before); }

// A signal during the wait: the terminal is put back first, then the
// signal takes its usual course. A stop (Ctrl-Z) comes back here once the
// run is continued, and the wait goes on.
extern "C" void leavewait(int sig) {
  const int saved = errno;
  restore();
  struct sigaction usual {
  }, mine{};
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

// The next byte from the terminal: waits for it, or only keybytems for
// a byte that belongs to the key already begun. -1: none came.
int nextbyte(bool first) {
  for (;;) {
    pollfd ready{0, POLLIN, 0};
    if (!first) {
      const int n = poll(&ready, 1, keybytems);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;
    }
    unsigned char byte;
    const ssize_t n = read(0, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

// Reads the rest of the key that begins with the byte given: an escape
// sequence (CSI: ESC [ parameters final; SS3: ESC O final; ESC and a key,
// as Alt gives it, once; ESC alone) or a UTF-8 character of any length.
void readrestofkey(int first, bool alt = false) {
  if (first == 0x1b) {
    const int next = nextbyte(false);
    if (next == '[') {
      int byte = nextbyte(false);
      if (byte == '[') byte = nextbyte(false);  // the Linux console's F1 to F5: ESC [ [ A
      // Parameter and intermediate bytes (0x20 to 0x3f) up to a final byte.
      for (int length = 0; byte >= 0x20 && byte < 0x40 && length < longestsequence; ++length) byte = nextbyte(false);
    } else if (next == 'O') {
      nextbyte(false);
    } else if (next >= 0 && !alt) {
      readrestofkey(next, true);
    }
    return;
  }
  const int following = first >= 0xf0 ? 3 : first >= 0xe0 ? 2 : first >= 0xc0 ? 1 : 0;
  for (int i = 0; i < following && nextbyte(false) >= 0; ++i) {
  }
}

// Whether standard input and standard output are one terminal: only then
// has the user seen the prompt the key answers.
bool promptseen() {
  struct stat in {
  }, out{};
  return isatty(0) == 1 && isatty(1) == 1 && fstat(0, &in) == 0 && fstat(1, &out) == 0 && in.st_rdev == out.st_rdev;
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
  if (!promptseen() || tcgetpgrp(0) != getpgrp() || tcgetattr(0, &before) != 0) return;
  keyed = before;
  keyed.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  keyed.c_cc[VMIN] = 1;
  keyed.c_cc[VTIME] = 0;
  struct sigaction action {
  }, old[std::size(waitsignals)];
  action.sa_handler = leavewait;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(waitsignals); ++i) {
    sigaction(waitsignals[i], nullptr, &old[i]);
    if (old[i].sa_handler != SIG_IGN) sigaction(waitsignals[i], &action, nullptr);
  }
  keymode();
  const int key = nextbyte(true);
  if (key >= 0) readrestofkey(key);
  restore();
  for (size_t i = 0; i < std::size(waitsignals); ++i) sigaction(waitsignals[i], &old[i], nullptr);
}

void restoreconsole() {}
