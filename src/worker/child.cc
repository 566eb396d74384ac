#include "worker/child.h"

#include <cstdlib>
#include <exception>
#include <new>

#include "worker/sandbox.h"
#include "worker/wire.h"

namespace {

// The reply to a still, from the worker's state and the still's own work.
std::string answer(const workersettings& settings, const std::string& unsafe, const std::string& name, const char* data,
                   size_t size, const std::string& error) {
  try {
    slideresult result;
    if (!unsafe.empty())
      result.reason = unsafe;
    else if (!error.empty())
      result.reason = error;
    else
      result = settings.work(name.c_str(), data, size);
    return encodereply(result);
  } catch (const std::bad_alloc&) {
    slideresult failed;
    failed.reason = outofmemory;
    return encodereply(failed);
  }
}

}  // namespace

void serveworker(workerchannel& channel, const workersettings& settings) noexcept {
  // Not the driver's way out, which a fork inherits.
  std::set_terminate([] { std::_Exit(workerfault); });
  try {
    // Locked in before the first still; a worker that cannot be says so for
    // every still it is given, and decodes none.
    std::string unsafe;
    try {
      if (settings.setup) settings.setup();
    } catch (const std::bad_alloc&) {
      unsafe = outofmemory;
    }
#if defined(VANTREL_TEST_WITHOUT_SANDBOX)
    // Only a test build for qemu-user, which has no seccomp (CMakeLists.txt).
    const bool sandbox = false;
#else
    const bool sandbox = settings.sandbox;
#endif
    std::string why;
    if (sandbox && !lockdown(&why) && unsafe.empty()) unsafe = "cannot enter the sandbox: " + why;

    for (;;) {
      std::string name, error;
      const char* data = nullptr;
      size_t size = 0;
      if (!channel.receive(&name, &data, &size, &error)) std::_Exit(0);  // the driver is done
      if (!channel.reply(answer(settings, unsafe, name, data, size, error))) std::_Exit(0);
    }
  } catch (...) {
    // Out of memory where no reply can be made, or a fault of the worker's
    // own: its still reads as a worker that stopped unexpectedly.
  }
  std::_Exit(workerfault);
}
