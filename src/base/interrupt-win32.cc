#include "base/interrupt-win32.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> caught{0};
// Made once and never closed: the handler runs in a thread of its own and
// may still hold them when a guard goes.
const HANDLE arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);   // an interruption is noted
const HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // the run has answered a close

// A close, a log-off or a shut-down ends the process once this returns:
// it waits a little for the run to finish its kit.
BOOL WINAPI notecontrol(DWORD event) {
  const int noted = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
  int none = 0;
  caught.compare_exchange_strong(none, noted);
  SetEvent(arrived);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) WaitForSingleObject(answered, 4000);
  return TRUE;
}

}  // namespace

interruptguard::interruptguard() : native_(std::make_unique<platform>()) {
  native_->arrived = arrived;
  ResetEvent(arrived);
  ResetEvent(answered);
  caught = 0;
  SetConsoleCtrlHandler(notecontrol, TRUE);
}

interruptguard::~interruptguard() {
  SetConsoleCtrlHandler(notecontrol, FALSE);
  SetEvent(answered);
}

int interruptguard::signal() const { return caught; }

bool interruptguard::pending() { return caught != 0; }

std::string interruptguard::name() const {
  switch (caught) {
    case 0: return "";
    case SIGINT: return "Interrupt";
    case SIGBREAK: return "Break";
    default: return "Close";
  }
}

unsigned interruptguard::resumptions() const { return 0; }  // no job control: nothing stops a run

void interruptguard::reraise() const {
  SetEvent(answered);
  // What a process ended by Ctrl-C or Ctrl-Break ends with.
  ExitProcess(0xC000013A);
}
