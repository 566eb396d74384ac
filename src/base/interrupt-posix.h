// The POSIX side of interruptguard, for the waits that let signals through.
#pragma once

#include <signal.h>

#include <iterator>

#include "base/interrupt.h"

constexpr int interruptsignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct interruptguard::platform {
  // The mask to wait with: the one in force before the guard.
  sigset_t waitmask;
  struct sigaction oldactions[std::size(interruptsignals)];
  struct sigaction oldcontinue;
};

// For the process layer's waits: the signal mask that lets the guard's
// interruptions through.
class interruptwait {
 public:
  static const sigset_t& mask(const interruptguard& guard) { return guard.native_->waitmask; }
};
