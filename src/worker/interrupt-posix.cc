#include "worker/interrupt-posix.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

volatile sig_atomic_t caught = 0;

extern "C" void notesignal(int sig) {
  if (caught == 0) caught = sig;
}

}  // namespace

// SIGINT, SIGTERM and SIGHUP are blocked for the guard's life and noted
// when they arrive while let through (in the waits, which use the mask of
// before). Signals that were ignored when it was made stay ignored.
interruptguard::interruptguard() : native_(std::make_unique<platform>()) {
  sigset_t block;
  sigemptyset(&block);
  for (size_t i = 0; i < std::size(interruptsignals); ++i) {
    sigaction(interruptsignals[i], nullptr, &native_->oldactions[i]);
    if (native_->oldactions[i].sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = notesignal;
    sigemptyset(&action.sa_mask);
    sigaction(interruptsignals[i], &action, nullptr);
    sigaddset(&block, interruptsignals[i]);
  }
  caught = 0;
  sigprocmask(SIG_BLOCK, &block, &native_->waitmask);
}

interruptguard::~interruptguard() {
  // Handlers first: a signal still pending then takes its usual course.
  for (size_t i = 0; i < std::size(interruptsignals); ++i)
    sigaction(interruptsignals[i], &native_->oldactions[i], nullptr);
  sigprocmask(SIG_SETMASK, &native_->waitmask, nullptr);
}

int interruptguard::signal() const { return caught; }

std::string interruptguard::name() const { return caught ? strsignal(caught) : ""; }

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
