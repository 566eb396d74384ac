#include "worker/worker.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <thread>

#include "testdir.h"

namespace {

TEST(WorkerCount, OnePerCpuWithinStillsAndMemory) {
  const uint64_t gib = uint64_t{1} << 30, worker = librarybudget + stillfilelimit;
  struct {
    unsigned cpus;
    size_t stills;
    uint64_t memory;
    unsigned expected;
  } cases[] = {
      {2, 60, 24 * gib, 2},   // one per CPU
      {64, 60, 1024 * gib, 60},  // never more than there are stills
      {8, 60, 4 * worker, 2},    // half the memory, a worker's budget each
      {8, 60, gib, 1},           // at least one
      {8, 0, 24 * gib, 0},       // none without stills
  };
  for (const auto& c : cases)
    EXPECT_EQ(workercount(c.cpus, c.stills, c.memory), c.expected) << c.cpus << " " << c.stills << " " << c.memory;
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

TEST(Reply, RoundTripsAndRefusesWhatNoSoundWorkerSends) {
  slideresult framed;
  framed.state = slidestate::framed;
  framed.width = 4000;
  framed.height = 3000;
  framed.jpeg = std::string("\xff\xd8") + "pixels" + "\xff\xd9";
  const std::string wire = encodereply(framed);
  slideresult back;
  size_t used = 0;
  ASSERT_EQ(decodereply(wire, &back, &used), replyparse::complete);
  EXPECT_EQ(used, wire.size());
  EXPECT_EQ(back.state, slidestate::framed);
  EXPECT_EQ(back.width, 4000u);
  EXPECT_EQ(back.height, 3000u);
  EXPECT_EQ(back.jpeg, framed.jpeg);
  EXPECT_EQ(decodereply(wire.substr(0, wire.size() - 1), &back, &used), replyparse::incomplete);

  slideresult failed;
  failed.reason = "bad\x1b[31mcolour\n";
  ASSERT_EQ(decodereply(encodereply(failed), &back, &used), replyparse::complete);
  EXPECT_EQ(back.reason, "bad?[31mcolour?");  // nothing reaches the terminal as a control

  auto field = [](std::string w, size_t index, uint32_t value) {
    std::memcpy(&w[index * 4], &value, 4);
    return w;
  };
  slideresult notjpeg = framed;
  notjpeg.jpeg = "GIF89a.........";
  slideresult unframed = framed;
  unframed.state = slidestate::unscalable;
  const std::string bad[] = {
      field(wire, 0, 0x12345678),                    // not a reply
      field(wire, 1, 99),                            // no such state
      field(wire, 4, 1 << 20),                       // a reason longer than any
      field(wire, 5, 64 << 20),                      // a frame larger than any
      encodereply(notjpeg),                          // a frame that is no JPEG
      encodereply(unframed),                         // a frame without framed
  };
  for (const std::string& b : bad) EXPECT_EQ(decodereply(b, &back, &used), replyparse::malformed);
}

// A pool whose workers run `work` on stills that are temporary files.
struct poolrun {
  explicit poolrun(std::function<slideresult(const char*, const char*, size_t)> work, unsigned workers = 1,
                   std::chrono::milliseconds deadline = std::chrono::seconds(20), bool sandbox = true) {
    poolsettings s;
    s.sandbox = sandbox;
    s.workers = workers;
    s.deadline = deadline;
    s.work = std::move(work);
    s.diagnostics = [this](const std::string& text) { diagnostics += text; };
    pool = std::make_unique<workerpool>(std::move(s), guard);
  }
  // Runs the stills through the pool and returns the results by job.
  std::vector<slideresult> run(const std::vector<std::string>& contents) {
    std::vector<slideresult> results(contents.size());
    size_t next = 0, got = 0;
    while (got < contents.size()) {
      while (next < contents.size() && pool->hasroom()) {
        const std::string path = dir / std::to_string(next);
        writefile(path, contents[next]);
        pool->start(next, "DSC" + std::to_string(next) + ".JPG", open(path.c_str(), O_RDONLY), contents[next].size());
        ++next;
      }
      std::vector<std::pair<size_t, slideresult>> done;
      EXPECT_TRUE(pool->wait(&done));
      for (auto& [job, r] : done) results[job] = std::move(r), ++got;
    }
    return results;
  }
  interruptguard guard;
  tempdir dir;
  std::unique_ptr<workerpool> pool;
  std::string diagnostics;
};

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
  slideresult r;
  r.state = slidestate::framed;
  r.jpeg = "\xff\xd8" + std::string(name) + ":" + still + "\xff\xd9";
  return r;
}

TEST(Pool, AWorkerThatFailsCostsOnlyItsStill) {
  poolrun p(echo, 1, std::chrono::milliseconds(1500));
  const std::vector<std::string> stills = {"a",    "segv",  "b",   "fpe",    "abort", "exit", "garbage",
                                           "hang", "noise", "c",   "open",   "socket", "exec", "kill"};
  const std::vector<slideresult> r = p.run(stills);
  const std::pair<size_t, std::string> failures[] = {
      {1, "the image library crashed (Segmentation fault)"},
      {3, "the image library crashed (Floating point exception)"},
      {4, "the image library crashed (Aborted)"},
      {5, "the worker stopped unexpectedly (exit status 3)"},
      {6, "the worker sent a malformed reply"},
      {7, "took longer than 1.5 s"},
      // The sandbox: a worker opens nothing, reaches no network, starts and
      // signals nothing.
      {10, "the image library attempted a forbidden operation (openat)"},
      {11, "the image library attempted a forbidden operation (socket)"},
      {12, "the image library attempted a forbidden operation (execve)"},
      {13, "the image library attempted a forbidden operation (kill)"},
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
  EXPECT_EQ(p.diagnostics, "a library's warning\n");
}

TEST(Pool, KeepsEveryWorkerBusyAndEndsThemAll) {
  poolrun p(
      [](const char* name, const char*, size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return echo(name, "", 0);
      },
      4, std::chrono::seconds(20), false);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<slideresult> r = p.run(std::vector<std::string>(8, ""));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const slideresult& x : r) EXPECT_EQ(x.state, slidestate::framed) << x.reason;
  EXPECT_LT(seconds, 1.2);  // two rounds of four, not eight in a row
  const std::vector<pid_t> pids = p.pool->pids();
  EXPECT_EQ(pids.size(), 4u);
  p.pool->clear();
  for (pid_t pid : pids) EXPECT_NE(kill(pid, 0), 0) << pid;  // gone, and reaped
  EXPECT_TRUE(p.pool->pids().empty());
}

}  // namespace
