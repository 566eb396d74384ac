// The process layer of Windows, with real worker processes (this test
// program started again as a worker): the ways a worker can fail, each of
// which must cost only its own still.
#include "worker/subprocess.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "workerkinds.h"
#include "workerrun.h"

namespace {

// Frames the bytes it is given back as the "JPEG" it makes, unless the
// still asks it to fail in one of the ways a worker can fail.
slideresult echo(const char* name, const char* data, size_t size) {
  const std::string still(data, size);
  if (still == "access") *static_cast<volatile int*>(nullptr) = 1;
  volatile int zero = 0, numerator = 7, quotient = 0;
  if (still == "divide") quotient = numerator / zero;
  (void)quotient;
  if (still == "abort") std::abort();
  if (still == "exit") std::_Exit(7);
  if (still == "hang") Sleep(INFINITE);
  if (still == "spin")
    for (volatile unsigned long i = 0;; i = i + 1) {
    }
  // What a library prints on standard output is a diagnostic, not a reply.
  if (still == "printed") {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "printed, not a reply\n", 21, &written, nullptr);
  }
  if (still == "noise") std::fputs("a library's warning\n", stderr), std::fflush(stderr);
  if (still == "oom") throw std::bad_alloc();
  return echoframe(name, still);
}

const workersettings& echoworker() {
  static const workersettings settings = [] {
    workersettings w;
    w.name = "echo";
    w.work = echo;
    return w;
  }();
  return settings;
}
[[maybe_unused]] const bool registered = registerworkerkind(echoworker());

TEST(Workers, AWorkerThatFailsCostsOnlyItsStill) {
  workerrun p(echoworker(), 1, std::chrono::seconds(20), std::chrono::seconds(60));
  const std::vector<std::string> stills = {"a",    "access",  "b",     "divide", "abort",
                                           "exit", "printed", "noise", "c",      "oom"};
  const std::vector<slideresult> r = p.run(stills);
  expectonlythese(r, stills,
                  {
                      {1, "the image library crashed (access violation)"},
                      {3, "the image library crashed (integer division by zero)"},
                      {4, "the worker stopped unexpectedly (exit status 3)"},
                      {5, "the worker stopped unexpectedly (exit status 7)"},
                      {9, "out of memory"},
                  });
  EXPECT_NE(p.diagnostics[6].find("printed, not a reply"), std::string::npos) << p.diagnostics[6];
  EXPECT_NE(p.diagnostics[7].find("a library's warning"), std::string::npos) << p.diagnostics[7];

  // A worker that sleeps for good is ended by the clock.
  workerrun sleeping(echoworker(), 1, std::chrono::seconds(20), std::chrono::milliseconds(3000));
  EXPECT_EQ(sleeping.run({"hang"})[0].reason, "did not finish within 3 s");

  // Processor time, not the clock, is what a still may use up.
  workerrun spinning(echoworker(), 1, std::chrono::milliseconds(300), std::chrono::seconds(60));
  const std::vector<slideresult> spun = spinning.run({"spin", "d"});
  EXPECT_EQ(spun[0].reason, "took longer than 0.3 s of processor time");
  EXPECT_EQ(spun[1].state, slidestate::framed) << spun[1].reason;
}

}  // namespace
