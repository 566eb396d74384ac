// The process layer: worker processes, the channel to each, and the wait
// for any of them. This is the platform's seam: subprocess-linux.cc
// implements it with fork, a socket pair and ppoll (and prctl, close_range
// and pipe2, which only Linux has), subprocess-win32.cc with fresh processes
// in a job object; the rest of the worker
// module (pool.h) is written against it alone.
//
// A worker is vantrel's own code (child.h) in a process of its own, so that
// a still which crashes the image library or never finishes costs only
// itself. What it sends back is untrusted (wire.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "slide/slide.h"

class interruptguard;

// What a worker does.
struct workersettings {
  // Its name, where a worker is a fresh process of this program (Windows)
  // that must find these settings again (serveifworker).
  std::string name;
  // Once, before the worker locks itself in and takes its first still.
  std::function<void()> setup;
  // The image work of one still, given its name and bytes.
  std::function<slideresult(const char* name, const char* data, size_t size)> work;
  // Whether the worker locks itself in (sandbox.h) before its first still.
  bool sandbox = true;
  // The most memory the worker may map, a backstop behind the image
  // library's own budget; 0 for no limit.
  uint64_t memorylimit = 0;
};

// A still on its way to a worker: its name, and its bytes as an open
// descriptor, which the job closes when it goes.
class stilljob {
 public:
  stilljob() = default;
  stilljob(std::string name, int fd, uint64_t size) : name_(std::move(name)), fd_(fd), size_(size) {}
  ~stilljob();
  stilljob(stilljob&& other) noexcept : name_(std::move(other.name_)), fd_(other.fd_), size_(other.size_) {
    other.fd_ = -1;
  }
  // The descriptor this job held goes with other.
  stilljob& operator=(stilljob&& other) noexcept {
    std::swap(name_, other.name_);
    std::swap(fd_, other.fd_);
    std::swap(size_, other.size_);
    return *this;
  }

  const std::string& name() const { return name_; }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }

 private:
  std::string name_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// One worker process.
class subprocess {
 public:
  // Ends the process (end()) if it still runs.
  virtual ~subprocess() = default;
  // Hands the worker a job. False if it cannot take it (it has gone).
  virtual bool send(const stilljob& job) = 0;
  // Appends, without blocking, at most limit bytes of what the worker has
  // sent on its reply channel to *replies, and some of what it wrote on its
  // standard error to *diagnostics. False once the reply channel is closed.
  virtual bool read(std::string* replies, size_t limit, std::string* diagnostics) = 0;
  // The processor time the worker has used so far.
  virtual std::chrono::nanoseconds cputime() = 0;
  // Ends the process at once if it still runs, waits for it, and says how
  // it ended, in words ("the image library crashed (Segmentation fault)").
  virtual std::string end() = 0;
  // The process's id, for tests.
  virtual int id() const = 0;
};

enum class waitstatus { ready, timedout, interrupted, failed };

// Starts workers and waits for them.
class subprocessset {
 public:
  virtual ~subprocessset() = default;
  // A new worker, or null with *reason in words.
  virtual std::unique_ptr<subprocess> start(std::string* reason) = 0;
  // Waits until some of running have something to read (their indices go
  // to *ready), timeout passes (no timeout: no limit), or an interruption
  // arrives (interruptguard). *reason says why the wait failed.
  virtual waitstatus wait(const std::vector<subprocess*>& running, std::optional<std::chrono::nanoseconds> timeout,
                          std::vector<size_t>* ready, std::string* reason) = 0;
};

// The platform's workers, running settings. beforestart runs in the driver
// before each start (to flush what a new process must not inherit).
std::unique_ptr<subprocessset> makesubprocessset(workersettings settings, const interruptguard& guard,
                                                 std::function<void()> beforestart);

// Where workers are fresh processes of this program (Windows), a worker is
// started with arguments that only the process layer gives: then this
// serves as that worker, with the settings find gives for its name, and
// never returns. Otherwise, and wherever workers are forks (POSIX), it
// returns at once.
void serveifworker(const std::vector<std::string>& args,
                   const std::function<const workersettings*(const std::string& name)>& find);

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned usablecpus();
// The machine's physical memory in bytes, or 0 if unknown.
uint64_t physicalmemory();
