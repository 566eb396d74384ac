// The user's interruptions (Ctrl-C and the like) are answered between steps
// of the run, never in the middle of one: while an interruptguard lives they
// are held back, except while the run waits (for workers or for a key),
// where one that arrives is only noted. Work done outside the wait, such as
// writing a frame or the script, is therefore never cut in half.
#pragma once

#include <memory>
#include <string>

class interruptguard {
 public:
  interruptguard();
  ~interruptguard();
  interruptguard(const interruptguard&) = delete;
  interruptguard& operator=(const interruptguard&) = delete;

  // The signal that arrived, or 0.
  int signal() const;
  // Its name, in words ("Interrupt").
  std::string name() const;
  // Ends the process the way the signal that arrived would have.
  [[noreturn]] void reraise() const;

  // What the platform's waits need to let interruptions through.
  struct platform;
  const platform& native() const { return *native_; }

 private:
  std::unique_ptr<platform> native_;
};
