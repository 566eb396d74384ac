// Worker processes: the image work of each still is done in a child
// process, so that a still which crashes the image library, asks it for
// too much memory or never finishes costs only itself.
//
// The driver's side follows one model: SIGINT, SIGTERM and SIGHUP are
// blocked for the whole run (interruptguard) except while the driver waits
// in ppoll, where a handler only notes which arrived. Work done outside the
// wait, such as writing a frame or the script, is therefore never cut in
// half. workerpool::clear is the one place that ends every child.
//
// A worker is untrusted: it runs in a sandbox (sandbox.h), is handed each
// still as an open descriptor, opens nothing itself, and every reply it
// sends is checked before the driver uses it.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "slide/slide.h"

// What one worker may use: the image library's allocations, and the still's
// bytes, which it holds beside them.
constexpr size_t librarybudget = size_t{1} << 30;
constexpr size_t stillfilelimit = size_t{256} << 20;

// The CPUs this process may run on (its affinity mask).
unsigned usablecpus();
// The machine's physical memory in bytes.
uint64_t physicalmemory();
// One worker per usable CPU, never more than there are stills, and only as
// many as half the machine's memory holds at a worker's budget each; at
// least one when there is a still.
unsigned workercount(unsigned cpus, size_t stills, uint64_t memory);

// Blocks SIGINT, SIGTERM and SIGHUP for its life and notes the first that
// arrives while they are let through (in workerpool::wait). Signals that
// were ignored when it was made stay ignored.
class interruptguard {
 public:
  interruptguard();
  ~interruptguard();
  interruptguard(const interruptguard&) = delete;
  interruptguard& operator=(const interruptguard&) = delete;

  // The signal that arrived, or 0.
  int signal() const;
  // The mask to wait with: the one in force before the guard.
  const sigset_t* waitmask() const { return &old_; }
  // Ends the process the way the signal that arrived would have.
  [[noreturn]] void reraise() const;

 private:
  sigset_t old_;
  struct sigaction oldactions_[3];
};

// The wire form of a worker's reply. decodereply takes the first reply off
// the front of buffer: incomplete while more bytes are needed, malformed for
// anything a sound worker does not send (an unknown state, a reason or frame
// over its bound, a frame that is not a JPEG), and last for the note of a
// worker that its sandbox is ending (a complete reply, and its last).
std::string encodereply(const slideresult& result);
enum class replyparse { incomplete, complete, last, malformed };
replyparse decodereply(const std::string& buffer, slideresult* result, size_t* used);

struct poolsettings {
  unsigned workers = 1;
  std::chrono::milliseconds deadline{std::chrono::seconds(60)};  // wall clock, per still
  // In each new worker, once, before its first still.
  std::function<void()> setup;
  // In a worker: the image work of one still, given its name and bytes.
  std::function<slideresult(const char* name, const char* data, size_t size)> work;
  // In the driver, before each fork: flush what a child must not inherit.
  std::function<void()> beforefork;
  // In the driver: whatever the workers wrote on their standard error.
  std::function<void(const std::string&)> diagnostics;
  // Whether each worker locks itself in (sandbox.h) before its first still.
  bool sandbox = true;
};

class workerpool {
 public:
  workerpool(poolsettings settings, const interruptguard& guard);
  ~workerpool();  // clear()
  workerpool(const workerpool&) = delete;
  workerpool& operator=(const workerpool&) = delete;

  // Whether a worker is free for another still.
  bool hasroom() const;
  // Whether any still is being worked on or has a result not yet collected.
  bool busy() const;
  // Hands the still `name`, open as fd (which the pool closes) and size
  // bytes long, to a free worker, starting one if needed; job identifies it
  // in wait().
  void start(size_t job, const std::string& name, int fd, uint64_t size);
  // Waits until at least one still is done, a deadline passes or a signal
  // arrives, and appends what is done. A still whose worker died, broke its
  // budget, overran the deadline or sent a malformed reply comes back
  // unloadable with the reason, and a fresh worker takes its place later.
  // Returns false if a signal arrived (see interruptguard::signal).
  bool wait(std::vector<std::pair<size_t, slideresult>>* done);
  // Ends every worker at once and waits for them; what they were doing is lost.
  void clear();
  // The process ids of the live workers.
  std::vector<pid_t> pids() const;

 private:
  struct worker;
  bool spawn(worker& w, std::string* reason);
  bool send(worker& w, const std::string& name, int fd, uint64_t size);
  void reap(worker& w, const std::string& reason);
  void drain(worker& w);
  void forwarddiagnostics();

  poolsettings settings_;
  const interruptguard& guard_;
  std::vector<worker> workers_;
  std::vector<std::pair<size_t, slideresult>> finished_;
  int diagread_ = -1, diagwrite_ = -1;
  size_t diagforwarded_ = 0;
};
