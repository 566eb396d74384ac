// The process layer of Windows, with real worker processes (this test
// program started again as a worker): the ways a worker can fail, each of
// which must cost only its own still.
#include "worker/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "testdir.h"
#include "workerkinds.h"
#include "worker/interrupt.h"
#include "worker/pool.h"

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
  if (still == "garbage") {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "garbage, not a reply........", 28, &written, nullptr);
  }
  if (still == "noise") std::fputs("a library's warning\n", stderr), std::fflush(stderr);
  if (still == "oom") throw std::bad_alloc();
  slideresult r;
  r.state = slidestate::framed;
  r.jpeg = "\xff\xd8" + std::string(name) + ":" + still + "\xff\xd9";
  return r;
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
const bool registered = registerworkerkind(echoworker());

struct poolrun {
  poolrun(std::chrono::milliseconds deadline, std::chrono::milliseconds wallbound) {
    processes = makesubprocessset(echoworker(), guard, nullptr);
    settings.deadline = deadline;
    settings.wallbound = wallbound;
  }
  std::vector<slideresult> run(const std::vector<std::string>& contents) {
    workerpool pool(settings, *processes, guard);
    std::vector<slideresult> results;
    pool.run(
        contents.size(),
        [&](size_t i, stilljob* job, slideresult*) {
          const std::string path = dir / std::to_string(i);
          writefile(path, contents[i]);
          *job = stilljob("DSC" + std::to_string(i) + ".JPG", _open(path.c_str(), _O_RDONLY | _O_BINARY),
                          contents[i].size());
          return true;
        },
        [&](size_t i, slideresult&& r, const std::string& noise) {
          EXPECT_EQ(i, results.size());
          results.push_back(std::move(r));
          diagnostics.push_back(noise);
          return true;
        });
    return results;
  }
  interruptguard guard;
  tempdir dir;
  std::unique_ptr<subprocessset> processes;
  poolsettings settings;
  std::vector<std::string> diagnostics;
};

TEST(Workers, AWorkerThatFailsCostsOnlyItsStill) {
  ASSERT_TRUE(registered);
  poolrun p(std::chrono::seconds(20), std::chrono::milliseconds(3000));
  const std::vector<std::string> stills = {"a",    "access", "b",     "divide", "abort", "exit",
                                           "garbage", "hang", "noise", "c",      "oom"};
  const std::vector<slideresult> r = p.run(stills);
  ASSERT_EQ(r.size(), stills.size());
  const std::pair<size_t, std::string> failures[] = {
      {1, "the image library crashed (access violation)"},
      {3, "the image library crashed (integer division by zero)"},
      {4, "the worker stopped unexpectedly (exit status 3)"},
      {5, "the worker stopped unexpectedly (exit status 7)"},
      {6, "the worker sent a malformed reply"},
      {7, "did not finish within 3 s"},
      {10, "out of memory"},
  };
  for (const auto& [job, reason] : failures) {
    EXPECT_EQ(r[job].state, slidestate::unloadable) << job;
    EXPECT_EQ(r[job].reason, reason) << job;
  }
  for (size_t job : {0, 2, 8, 9}) {
    ASSERT_EQ(r[job].state, slidestate::framed) << job << ": " << r[job].reason;
    EXPECT_EQ(r[job].jpeg, "\xff\xd8"
                           "DSC" + std::to_string(job) + ".JPG:" + stills[job] + "\xff\xd9");
  }
  EXPECT_NE(p.diagnostics[8].find("a library's warning"), std::string::npos) << p.diagnostics[8];

  // Processor time, not the clock, is what a still may use up.
  poolrun spinning(std::chrono::milliseconds(300), std::chrono::seconds(60));
  const std::vector<slideresult> spun = spinning.run({"spin", "d"});
  EXPECT_EQ(spun[0].reason, "took longer than 0.3 s of processor time");
  EXPECT_EQ(spun[1].state, slidestate::framed) << spun[1].reason;
}

}  // namespace
