// A library the tests preload into vantrel (LD_PRELOAD) to make faults
// happen on purpose, the same way on every run and every architecture:
// - a still whose bytes begin with crashmarker makes the image library's
//   type probe write a line on standard error and then touch address 0;
// - one that begins with holdmarker makes it block heldsignal, to say so,
//   and then read the still's first byte over and over, for good, so that
//   the test can change the file under the worker or kill it;
// - with VANTREL_TEST_SETUP_OOM set, a worker's set-up runs out of memory
//   (the image library's initialisation throws std::bad_alloc);
// - with VANTREL_TEST_HOLD=NAME, a write to the file NAME writes half of
//   what it was given and then never returns, so that the test can kill the
//   run in the middle of writing that file;
// - with VANTREL_TEST_STEP=N and VANTREL_TEST_DO=kill, fail or interrupt,
//   the Nth step of a commit (renames, and the removals after the first
//   rename) is killed before it happens (SIGKILL), fails (EIO), or has a
//   Ctrl-C arrive just before it.
// Everything else goes to the libraries as usual.
#include "crashhook.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

using probe = unsigned (*)(const void*, unsigned);
using writer = ssize_t (*)(int, const void*, size_t);
using initialiser = void (*)();
using renamer = int (*)(const char*, const char*);
using remover = int (*)(const char*);
// Looked up when the library is loaded, before any worker locks itself in.
const probe realprobe = reinterpret_cast<probe>(dlsym(RTLD_NEXT, "ilDetermineTypeL"));
const writer realwrite = reinterpret_cast<writer>(dlsym(RTLD_NEXT, "write"));
const initialiser realinit = reinterpret_cast<initialiser>(dlsym(RTLD_NEXT, "ilInit"));
const char* const held = std::getenv("VANTREL_TEST_HOLD");
const renamer realrename = reinterpret_cast<renamer>(dlsym(RTLD_NEXT, "rename"));
const remover realunlink = reinterpret_cast<remover>(dlsym(RTLD_NEXT, "unlink"));
const char* const step = std::getenv("VANTREL_TEST_STEP");
const char* const action = std::getenv("VANTREL_TEST_DO");
int steps = 0;
bool committing = false;  // from the first rename on

// Counts a step of the commit; false if this one is to fail.
bool takestep() {
  if (!step || !action || ++steps != std::atoi(step)) return true;
  if (std::strcmp(action, "kill") == 0) kill(getpid(), SIGKILL);
  if (std::strcmp(action, "interrupt") == 0) kill(getpid(), SIGINT);
  if (std::strcmp(action, "fail") != 0) return true;
  errno = EIO;
  return false;
}

// Whether fd is open on a file named `name` (its last component).
bool writesto(int fd, const char* name) {
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const char* last = std::strrchr(path, '/');
  return std::strcmp(last ? last + 1 : path, name) == 0;
}

}  // namespace

extern "C" unsigned ilDetermineTypeL(const void* lump, unsigned size) {
  if (size >= sizeof crashmarker - 1 && std::memcmp(lump, crashmarker, sizeof crashmarker - 1) == 0) {
    constexpr char last[] = "crashhook: about to touch address 0\n";
    (void)!realwrite(2, last, sizeof last - 1);
    *static_cast<volatile int*>(nullptr) = 1;
  }
  if (size >= sizeof holdmarker - 1 && std::memcmp(lump, holdmarker, sizeof holdmarker - 1) == 0) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, heldsignal);
    sigprocmask(SIG_BLOCK, &held, nullptr);
    for (;;) (void)*static_cast<const volatile char*>(lump);
  }
  return realprobe ? realprobe(lump, size) : 0;
}

extern "C" void ilInit() {
  if (std::getenv("VANTREL_TEST_SETUP_OOM")) throw std::bad_alloc();
  if (realinit) realinit();
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  if (held && size > 1 && fd > 2 && writesto(fd, held)) {
    (void)!realwrite(fd, data, size / 2);
    for (;;) pause();
  }
  return realwrite(fd, data, size);
}

extern "C" int rename(const char* from, const char* to) {
  committing = true;
  return takestep() ? realrename(from, to) : -1;
}

extern "C" int unlink(const char* name) {
  if (committing && !takestep()) return -1;
  return realunlink(name);
}
