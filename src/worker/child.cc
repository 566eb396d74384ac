#include "worker/child.h"

#include <cstdlib>
#include <new>

#include "worker/sandbox.h"
#include "worker/wire.h"

void serveworker(workerchannel& channel, const workersettings& settings) {
  if (settings.setup) settings.setup();
  // Locked in before the first still; a worker that cannot be says so for
  // every still it is given, and decodes none.
  std::string unsafe;
#if defined(VANTREL_TEST_WITHOUT_SANDBOX)
  // Only a test build for qemu-user, which has no seccomp (CMakeLists.txt).
  const bool sandbox = false;
#else
  const bool sandbox = settings.sandbox;
#endif
  if (sandbox && !lockdown(&unsafe)) unsafe = "cannot enter the sandbox: " + unsafe;

  for (;;) {
    std::string name, error;
    const char* data = nullptr;
    size_t size = 0;
    if (!channel.receive(&name, &data, &size, &error)) std::_Exit(0);  // the driver is done
    std::string reply;
    try {
      slideresult result;
      if (!unsafe.empty())
        result.reason = unsafe;
      else if (!error.empty())
        result.reason = error;
      else
        result = settings.work(name.c_str(), data, size);
      reply = encodereply(result);
    } catch (const std::bad_alloc&) {
      slideresult nomemory;
      nomemory.reason = "out of memory";
      reply = encodereply(nomemory);
    }
    if (!channel.reply(reply)) std::_Exit(0);
  }
}
