#include "driver/console.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>

namespace {

// The console's output code page before the run, or 0 if it was not changed.
UINT outputpage = 0;
// The console's input mode during the wait, for the handler to put back.
HANDLE input = INVALID_HANDLE_VALUE;
DWORD inputmode = 0;

bool isconsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Ctrl-C, Ctrl-Break or a close during the wait: the console is put back,
// and the usual handler ends the process.
BOOL WINAPI leavewait(DWORD) {
  SetConsoleMode(input, inputmode);
  restoreconsole();
  return FALSE;
}

}  // namespace

void setupprocess() {
  // No message boxes for a missing drive or a crash: a console tool says
  // what went wrong on standard error.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Names are UTF-8; a console shows them right only in that code page.
  // Redirected output is left as it is: it gets the names' bytes.
  if (isconsole(STD_OUTPUT_HANDLE) || isconsole(STD_ERROR_HANDLE)) {
    const UINT page = GetConsoleOutputCP();
    if (page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) outputpage = page;
  }
}

void restoreconsole() {
  if (outputpage != 0) SetConsoleOutputCP(outputpage);
  outputpage = 0;
}

bool logisterminal() { return _isatty(1) != 0; }

void waitforkey() {
  // Only a console that showed the prompt has a key to press for it; input
  // of any other kind (a pipe, a file) is not read.
  input = GetStdHandle(STD_INPUT_HANDLE);
  if (!GetConsoleMode(input, &inputmode) || !isconsole(STD_OUTPUT_HANDLE)) return;
  SetConsoleCtrlHandler(leavewait, TRUE);
  // One key, without Enter and without echo; keys pressed during the run
  // do not count. A key event is a whole key, whatever characters it types.
  SetConsoleMode(input, inputmode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  FlushConsoleInputBuffer(input);
  for (;;) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0) break;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
  }
  SetConsoleMode(input, inputmode);
  SetConsoleCtrlHandler(leavewait, FALSE);
}
