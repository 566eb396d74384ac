// The process layer of this platform, with real worker processes: the ways
// a worker can fail, each of which must cost only its own still.
#include "worker/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "base/interrupt.h"
#include "base/io.h"
#include "testprocess.h"
#include "worker/pool.h"
#include "worker/wire.h"
#include "workerrun.h"

namespace {

// Workers of this platform that run work.
workersettings doing(std::function<slideresult(const char*, const char*, size_t)> work, bool sandbox = true) {
  workersettings w;
  w.work = std::move(work);
  w.sandbox = sandbox;
  return w;
}

// Frames the bytes it is given back as the "JPEG" it makes, unless the
// still asks it to fail in one of the ways a worker can fail.
slideresult echo(const char* name, const char* data, size_t size) {
  const std::string still(data, size);
  if (still == "segv") raise(SIGSEGV);
  if (still == "fpe") raise(SIGFPE);
  if (still == "abort") std::abort();
  if (still == "exit") _exit(3);
  char byte;
  if (still == "hang") (void)!read(0, &byte, 1);  // no job comes while this one runs
  if (still == "open") open("/etc/hostname", O_RDONLY);
  if (still == "socket") socket(AF_INET, SOCK_STREAM, 0);
  if (still == "exec") execl("/bin/true", "true", nullptr);
  if (still == "kill") kill(0, 0);  // asks only whether it could
  if (still == "garbage") (void)!write(0, "garbage, not a reply........", 28);
  if (still == "noise") (void)!write(2, "a library's warning\n", 20);
  if (still == "spin")
    for (volatile unsigned long i = 0;; i = i + 1) {
    }
  if (still == "oom") throw std::bad_alloc();
  if (still == "throw") throw std::runtime_error("not an answer");
  if (still == "killed") raise(SIGKILL);
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  if (still == "once") pthread_once(&once, [] {});  // the C library's one-time set-up
  return echoframe(name, still);
}

TEST(Workers, AWorkerThatFailsCostsOnlyItsStill) {
  workerrun p(doing(echo), 1, std::chrono::seconds(20), std::chrono::seconds(60));
  const std::vector<std::string> stills = {"a",       "segv",  "b", "fpe", "abort", "exit",
                                           "garbage", "noise", "c", "oom", "throw", "killed"};
  const std::vector<slideresult> r = p.run(stills);
  expectonlythese(
      r, stills,
      {
          {1, "the image library crashed (Segmentation fault)"},
          {3, "the image library crashed (Floating point exception)"},
          {4, "the image library crashed (Aborted)"},
          {5, "the worker stopped unexpectedly (exit status 3)"},
          {6, "the worker sent a malformed reply"},
          {9, "out of memory"},
          {10, "the worker stopped unexpectedly (exit status 70)"},  // ends in the worker, not in the caller
          {11, "the worker was killed (Killed)"},
      });
  for (size_t job = 0; job < stills.size(); ++job)
    EXPECT_EQ(withoutemulatornotes(p.diagnostics[job]), job == 7 ? "a library's warning\n" : "") << job;

  // A set-up that runs out of memory, before the sandbox, costs each still
  // given to that worker and ends nowhere but in the worker.
  workersettings starved = doing(echo);
  starved.setup = [] { throw std::bad_alloc(); };
  workerrun hungry(starved);
  expectonlythese(hungry.run({"d", "e"}), {"d", "e"}, {{0, "out of memory"}, {1, "out of memory"}});

  // A worker that sleeps for good is ended by the clock.
  workerrun sleeping(doing(echo), 1, std::chrono::seconds(20), std::chrono::milliseconds(1500));
  EXPECT_EQ(sleeping.run({"hang"})[0].reason, "did not finish within 1.5 s");

  // Processor time, not the clock, is what a still may use up: the clock's
  // bound is far away here, however busy the machine.
  workerrun spinning(doing(echo), 1, std::chrono::milliseconds(300), std::chrono::seconds(60));
  const std::vector<slideresult> spun = spinning.run({"spin", "d"});
  EXPECT_EQ(spun[0].reason, "took longer than 0.3 s of processor time");
  EXPECT_EQ(spun[1].state, slidestate::framed) << spun[1].reason;
}

TEST(Workers, TheSandboxStopsAWorkerThatReachesOut) {
#if defined(VANTREL_TEST_WITHOUT_SANDBOX)
  GTEST_SKIP() << "built with VANTREL_TEST_WITHOUT_SANDBOX (for qemu-user, which has no seccomp): "
                  "the workers run without their sandbox";
#endif
  workerrun p(doing(echo));
  const std::vector<std::string> stills = {"open", "socket", "exec", "kill", "once", "a"};
  // A worker opens nothing, reaches no network, starts and signals nothing.
  // What the C library may do on its own is allowed; a fresh worker takes
  // the still after one that was stopped.
  expectonlythese(p.run(stills), stills,
                  {
                      {0, "the image library attempted a forbidden operation (openat)"},
                      {1, "the image library attempted a forbidden operation (socket)"},
                      {2, "the image library attempted a forbidden operation (execve)"},
                      {3, "the image library attempted a forbidden operation (kill)"},
                  });
}

TEST(Workers, AllWorkAtOnceAndAllEndWithThePool) {
  // Each still says when its work began and ended, by the machine's clock.
  workerrun p(doing(
                  [](const char*, const char*, size_t) {
                    slideresult r;
                    r.state = slidestate::framed;
                    const auto began = std::chrono::steady_clock::now();
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    const auto ended = std::chrono::steady_clock::now();
                    r.jpeg = "\xff\xd8" + std::to_string(began.time_since_epoch().count()) + " " +
                             std::to_string(ended.time_since_epoch().count()) + "\xff\xd9";
                    return r;
                  },
                  false),
              4);
  std::vector<int> ids;
  const std::vector<slideresult> r = p.run(std::vector<std::string>(4, ""), [&](workerpool& pool) {
    if (ids.empty()) ids = pool.ids();
  });
  ASSERT_EQ(r.size(), 4u);
  long long latestbegin = 0, earliestend = 0;
  for (const slideresult& x : r) {
    ASSERT_EQ(x.state, slidestate::framed) << x.reason;
    const long long began = std::stoll(x.jpeg.substr(2)), ended = std::stoll(x.jpeg.substr(x.jpeg.find(' ') + 1));
    latestbegin = std::max(latestbegin, began);
    earliestend = earliestend == 0 ? ended : std::min(earliestend, ended);
  }
  EXPECT_LT(latestbegin, earliestend) << "the four stills were not all being worked on at one moment";
  EXPECT_EQ(ids.size(), 4u);
  for (int id : ids) EXPECT_NE(kill(id, 0), 0) << id;  // gone, and reaped
}

TEST(Workers, APauseOfTheWholeRunCostsNoStill) {
  // A run and its workers stopped together (Ctrl-Z) for longer than both
  // bounds and then continued: their processor time did not pass, and the
  // clock starts afresh.
  const pid_t run = fork();
  ASSERT_GE(run, 0);
  if (run == 0) {
    setpgid(0, 0);
    workerrun p(doing(
                    [](const char*, const char*, size_t) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(400));
                      slideresult r;
                      r.state = slidestate::framed;
                      r.jpeg = "\xff\xd8\xff\xd9";
                      return r;
                    },
                    false),
                1, std::chrono::milliseconds(300), std::chrono::milliseconds(1000));
    const std::vector<slideresult> r = p.run(std::vector<std::string>(3, ""));
    bool all = r.size() == 3;
    for (const slideresult& x : r) all = all && x.state == slidestate::framed;
    _exit(all ? 0 : 1);
  }
  setpgid(run, run);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(kill(-run, SIGSTOP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(kill(-run, SIGCONT), 0);
  int status = 0;
  ASSERT_EQ(waitpid(run, &status, 0), run);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a still was lost to the pause";
}

TEST(WorkerCount, FollowsTheAffinityMask) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(usablecpus(), static_cast<unsigned>(CPU_COUNT(&all)));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &all)) {
        CPU_SET(cpu, &one);
        break;
      }
    _exit(sched_setaffinity(0, sizeof one, &one) == 0 ? static_cast<int>(usablecpus()) : 100);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

// The real workers of this platform, running work.
struct realpool {
  explicit realpool(std::function<slideresult(const char*, const char*, size_t)> work) {
    workersettings w;
    w.work = std::move(work);
    w.sandbox = false;
    processes = makesubprocessset(std::move(w), guard, nullptr);
  }
  interruptguard guard;
  std::unique_ptr<subprocessset> processes;
};

TEST(Pool, RunsAtMostEightStillsPerWorkerAheadOfTheOldest) {
  // Still 0 takes a while; the other worker must not run off with the rest.
  realpool real([](const char* name, const char*, size_t) {
    if (std::string(name) == "0") std::this_thread::sleep_for(std::chrono::milliseconds(700));
    slideresult r;
    r.state = slidestate::framed;
    r.jpeg = "\xff\xd8\xff\xd9";
    return r;
  });
  poolsettings s;
  s.workers = 2;
  workerpool pool(s, *real.processes, real.guard);
  size_t handed = 0, aheadwhenfirstcame = 0;
  const workerpool::end end = pool.run(
      100,
      [&](size_t i, stilljob* job, slideresult*) {
        handed = std::max(handed, i + 1);
        *job = stilljob(std::to_string(i), open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        return true;
      },
      [&](size_t i, slideresult&& r, const std::string&) {
        EXPECT_EQ(r.state, slidestate::framed) << i << ": " << r.reason;
        if (i == 0) aheadwhenfirstcame = handed;
      });
  EXPECT_EQ(end, workerpool::end::finished);
  EXPECT_LE(aheadwhenfirstcame, 16u) << "stills handed out while still 0 was being made";
  EXPECT_GE(aheadwhenfirstcame, 2u);
}

TEST(Workers, AStillTheWorkerCannotMapCostsOnlyItself) {
  // The worker maps each still it is handed; one it cannot map (a pipe's
  // end here) is answered "cannot read", and the worker serves the next,
  // an empty still among them, as ever.
  interruptguard guard;
  const std::unique_ptr<subprocessset> processes = makesubprocessset(doing(echo), guard, nullptr);
  poolsettings settings;
  settings.workers = 1;
  workerpool pool(settings, *processes, guard);
  tempdir dir;
  writefile(dir / "b", "b");
  writefile(dir / "empty", "");
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  std::vector<slideresult> results;
  pool.run(
      3,
      [&](size_t i, stilljob* job, slideresult*) {
        if (i == 0) *job = stilljob("DSC0.JPG", p[0], 5);
        if (i == 1) *job = stilljob("DSC1.JPG", open((dir / "empty").c_str(), O_RDONLY | O_CLOEXEC), 0);
        if (i == 2) *job = stilljob("DSC2.JPG", open((dir / "b").c_str(), O_RDONLY | O_CLOEXEC), 1);
        return true;
      },
      [&](size_t, slideresult&& r, const std::string&) { results.push_back(std::move(r)); });
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].state, slidestate::unloadable);
  EXPECT_EQ(results[0].reason, std::string("cannot read: ") + std::strerror(ENODEV));
  EXPECT_EQ(results[1].jpeg, echoframe("DSC1.JPG", "").jpeg) << results[1].reason;
  EXPECT_EQ(results[2].jpeg, echoframe("DSC2.JPG", "b").jpeg) << results[2].reason;
}

}  // namespace
