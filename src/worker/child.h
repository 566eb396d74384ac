// A worker's own side: everything in child.cc runs inside a worker process,
// and all of it after the setup runs under the worker's sandbox.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "worker/subprocess.h"

// A worker's end of its channel to the driver, as the platform provides it
// (subprocess-linux.cc, subprocess-win32.cc).
class workerchannel {
 public:
  workerchannel();
  ~workerchannel();
  workerchannel(const workerchannel&) = delete;
  workerchannel& operator=(const workerchannel&) = delete;

  // Waits for the next job. False when the driver is done (or sent
  // something no driver sends). Otherwise *name is the still's name and
  // data[0, *size) its bytes, valid until the next call, or *error says why
  // the bytes cannot be read.
  bool receive(std::string* name, const char** data, size_t* size, std::string* error);
  // Sends a whole reply. False if the driver has gone.
  bool reply(const std::string& bytes);

 private:
  struct platform;
  std::unique_ptr<platform> native_;
};

// Sets the worker up, locks it in and then serves jobs, one at a time,
// until the driver is done; never returns. Every way out ends the process
// here, with _exit: nothing is thrown past it, and none of the driver's
// code (its handlers, its clean-up, its destructors) runs in a worker. A
// set-up that runs out of memory costs each still it is given, as "out of
// memory", like a still that does.
[[noreturn]] void serveworker(workerchannel& channel, const workersettings& settings) noexcept;

// The status a worker ends with when something was thrown that it cannot
// answer with a reply.
constexpr int workerfault = 70;
