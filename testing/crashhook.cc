// A library the tests preload into vantrel (LD_PRELOAD) to crash a worker
// on purpose, the same way on every run and every architecture: a still
// whose bytes begin with crashmarker makes the image library's type probe
// write a line on standard error and then touch address 0. Every other
// still goes to the library as usual.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr char crashmarker[] = "vantrel test: crash here";
using probe = unsigned (*)(const void*, unsigned);
// Looked up when the library is loaded, before any worker locks itself in.
const probe real = reinterpret_cast<probe>(dlsym(RTLD_NEXT, "ilDetermineTypeL"));

}  // namespace

extern "C" unsigned ilDetermineTypeL(const void* lump, unsigned size) {
  if (size >= sizeof crashmarker - 1 && std::memcmp(lump, crashmarker, sizeof crashmarker - 1) == 0) {
    constexpr char last[] = "crashhook: about to touch address 0\n";
    (void)!write(2, last, sizeof last - 1);
    *static_cast<volatile int*>(nullptr) = 1;
  }
  return real ? real(lump, size) : 0;
}
