// The Windows side of interruptguard, for the waits that let interruptions
// through: the console's Ctrl-C, Ctrl-Break and close events, noted by a
// handler that the system runs in a thread of its own, which then sets an
// event the waits wait on.
#pragma once

#include <windows.h>

#include "base/interrupt.h"

struct interruptguard::platform {
  HANDLE arrived = nullptr;  // set when an interruption is noted
};

// For the process layer's waits: the event an interruption sets.
class interruptwait {
 public:
  static HANDLE arrived(const interruptguard& guard) { return guard.native_->arrived; }
};
