#include "driver/console.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>

void setupprocess() {
  // No message boxes for a missing drive or a crash: a console tool says
  // what went wrong on standard error.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

bool logisterminal() { return _isatty(1) != 0; }

void waitforkey() {
  char byte;
  (void)!_read(0, &byte, 1);
}
