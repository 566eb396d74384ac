// The user's interruptions (Ctrl-C, Ctrl-\, a hang-up, a termination) are
// answered between steps of the run, never in the middle of one: while an
// interruptguard lives they are held back, except while the run waits (for
// workers or for a key), where one that arrives is only noted, and pending()
// notes one that is waiting between steps. Work done outside the wait, such
// as writing a frame or the script, is therefore never cut in half.
#pragma once

#include <memory>
#include <string>

class interruptguard {
 public:
  interruptguard();
  ~interruptguard();
  interruptguard(const interruptguard&) = delete;
  interruptguard& operator=(const interruptguard&) = delete;

  // The interruption noted, or 0.
  int signal() const;
  // Notes an interruption that has arrived but is held back; then, or if
  // one was noted already, true.
  bool pending();
  // Its name, in words ("Interrupt").
  std::string name() const;
  // Ends the process the way the interruption noted would have.
  [[noreturn]] void reraise() const;
  // How many times the process was stopped and continued (Ctrl-Z, then fg)
  // while the guard lived, as far as a wait has seen.
  unsigned resumptions() const;

 private:
  // What the platform's waits need to let interruptions through, which
  // only the platform's own interruptwait (interrupt-posix.h,
  // interrupt-win32.h) reads.
  friend class interruptwait;
  struct platform;
  std::unique_ptr<platform> native_;
};
