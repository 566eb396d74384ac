// src/base/ (this folder): what every module may use and that knows nothing
// of slides: buffered output over a descriptor (output.h), whole reads and
// writes (io.h), text fit for the terminal (text.h) and the run-wide guard
// that holds the user's interruptions back between steps (interrupt.h).
// Platform files: -posix, -win32.
#include "base/interrupt-posix.h"

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>

namespace {

volatile sig_atomic_t caught = 0;
volatile sig_atomic_t continued = 0;

extern "C" void notesignal(int sig) {
  if (caught == 0) caught = sig;
}

extern "C" void notecontinue(int) { continued = continued + 1; }

struct sigaction handler(void (*fn)(int)) {
  struct sigaction action {};
  action.sa_handler = fn;
  sigemptyset(&action.sa_mask);
  return action;
}

}  // namespace

// The signals are blocked for the guard's life and noted when they arrive
// while let through (in the waits, which use the mask of before) or are
// found pending. Signals that were ignored when it was made stay ignored.
interruptguard::interruptguard() : native_(std::make_unique<platform>()) {
  sigset_t block;
  sigemptyset(&block);
  for (size_t i = 0; i < std::size(interruptsignals); ++i) {
    sigaction(interruptsignals[i], nullptr, &native_->oldactions[i]);
    if (native_->oldactions[i].sa_handler == SIG_IGN) continue;
    const struct sigaction action = handler(notesignal);
    sigaction(interruptsignals[i], &action, nullptr);
    sigaddset(&block, interruptsignals[i]);
  }
  // A stop does not wait for the mask; being continued is noted like the rest.
  const struct sigaction action = handler(notecontinue);
  sigaction(SIGCONT, &action, &native_->oldcontinue);
  sigaddset(&block, SIGCONT);
  caught = 0;
  continued = 0;
  sigprocmask(SIG_BLOCK, &block, &native_->waitmask);
}

interruptguard::~interruptguard() {
  // Handlers first: a signal still pending then takes its usual course.
  for (size_t i = 0; i < std::size(interruptsignals); ++i)
    sigaction(interruptsignals[i], &native_->oldactions[i], nullptr);
  sigaction(SIGCONT, &native_->oldcontinue, nullptr);
  sigprocmask(SIG_SETMASK, &native_->waitmask, nullptr);
}

int interruptguard::signal() const { return caught; }

bool interruptguard::pending() {
  if (caught != 0) return true;
  sigset_t waiting;
  if (sigpending(&waiting) != 0) return false;
  for (int sig : interruptsignals) {
    if (!sigismember(&waiting, sig)) continue;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    const timespec now{};
    if (sigtimedwait(&one, nullptr, &now) == sig) caught = sig;
    break;
  }
  return caught != 0;
}

std::string interruptguard::name() const { return caught ? strsignal(caught) : ""; }

unsigned interruptguard::resumptions() const { return static_cast<unsigned>(continued); }

void interruptguard::reraise() const {
  const int sig = caught;
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}
