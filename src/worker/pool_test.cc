#include "worker/pool.h"

#include <gtest/gtest.h>

#include "base/interrupt.h"
#include "fakeworkers.h"
#include "worker/wire.h"

namespace {

TEST(WorkerCount, OnePerCpuWithinStillsAndMemory) {
  const uint64_t gib = uint64_t{1} << 30, worker = stillfootprint;
  struct {
    unsigned cpus;
    size_t stills;
    uint64_t memory;
    unsigned expected;
  } cases[] = {
      {2, 60, 24 * gib, 2},      // one per CPU
      {64, 60, 1024 * gib, 60},  // never more than there are stills
      {8, 60, 4 * worker, 2},    // half the memory, a worker's budget each
      {8, 60, gib, 1},           // at least one
      {8, 0, 24 * gib, 0},       // none without stills
  };
  for (const auto& c : cases)
    EXPECT_EQ(workercount(c.cpus, c.stills, c.memory), c.expected) << c.cpus << " " << c.stills << " " << c.memory;
}

TEST(Budgets, AreThoseTheUserIsToldOf) {
  // The manual and the README promise these; a change must be deliberate.
  EXPECT_EQ(librarybudget, size_t{1} << 30);
  EXPECT_EQ(stillfilelimit, size_t{256} << 20);
  EXPECT_EQ(overduereason(poolsettings{}), "took longer than 60 s of processor time");
  EXPECT_EQ(stalledreason(poolsettings{}), "did not finish within 600 s");
}

std::string reply(const std::string& payload) {
  slideresult r;
  r.state = slidestate::framed;
  r.jpeg = "\xff\xd8" + payload + "\xff\xd9";
  return encodereply(r);
}

// Runs count stills through a pool of fake workers and returns the results
// in the order they were committed (which must be list order); *failure is
// the run's own failure, if it had one.
std::vector<slideresult> runfakes(fakeworkers& fakes, size_t count, unsigned workers,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(5),
                                  std::string* failure = nullptr) {
  poolsettings s;
  s.workers = workers;
  s.deadline = deadline;
  interruptguard guard;
  workerpool pool(s, fakes, guard);
  std::vector<slideresult> committed;
  const workerpool::end end = pool.run(
      count,
      [](size_t i, stilljob* job, slideresult*) {
        *job = stilljob("DSC" + std::to_string(i) + ".JPG", -1, 0);
        return true;
      },
      [&](size_t i, slideresult&& r, const std::string&) {
        EXPECT_EQ(i, committed.size());
        committed.push_back(std::move(r));
      });
  EXPECT_EQ(end == workerpool::end::failed, !pool.failure().empty());
  if (failure)
    *failure = pool.failure();
  else
    EXPECT_EQ(end, workerpool::end::finished) << pool.failure();
  return committed;
}

TEST(Pool, TakesOneReplyPerJobAndNothingMore) {
  // Worker 0 gets still 0 and never answers; worker 1 gets still 1 and
  // answers it, then sends another reply while it has no job.
  fakeworkers idle([](size_t n) {
    if (n == 0) return std::optional<fakeoutput>(fakeoutput{"", {}, false});
    return std::optional<fakeoutput>(fakeoutput{reply("mine") + reply("forged"), {reply("mine").size()}, false});
  });
  std::vector<slideresult> r = runfakes(idle, 2, 2, std::chrono::milliseconds(300));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].reason, "took longer than 0.3 s of processor time");
  EXPECT_EQ(r[1].jpeg, "\xff\xd8mine\xff\xd9") << "a reply from an idle worker replaced one already made";

  // A reply with bytes after it, in one read.
  fakeworkers trailing([](size_t) { return std::optional<fakeoutput>(fakeoutput{reply("mine") + "more", {}, false}); });
  r = runfakes(trailing, 1, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].state, slidestate::unloadable);
  EXPECT_EQ(r[0].reason, "the worker sent a malformed reply");

  // A reply in pieces of one byte is one reply.
  fakeworkers pieces([](size_t) {
    const std::string whole = reply("slow");
    return std::optional<fakeoutput>(fakeoutput{whole, std::vector<size_t>(whole.size(), 1), false});
  });
  r = runfakes(pieces, 1, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].jpeg, "\xff\xd8slow\xff\xd9");
}

TEST(Pool, WorkersThatCannotStartCostNothingWhileOneRuns) {
  // The second worker is refused, as fork is at the process limit: the
  // first does every still.
  fakeworkers second([](size_t n) {
    std::string replies;
    for (int i = 0; i < 5; ++i) replies += reply("still");
    return n == 0 ? std::optional<fakeoutput>(fakeoutput{replies, std::vector<size_t>(5, reply("still").size()), false})
                  : std::nullopt;
  });
  std::vector<slideresult> r = runfakes(second, 5, 2);
  ASSERT_EQ(r.size(), 5u);
  for (const slideresult& x : r) EXPECT_EQ(x.state, slidestate::framed) << x.reason;
  EXPECT_EQ(second.sent.size(), 1u);

  // A start that fails once, for a passing reason, costs nothing.
  size_t asked = 0;
  fakeworkers once([&asked](size_t) {
    return asked++ == 0 ? std::nullopt : std::optional<fakeoutput>(fakeoutput{reply("still"), {}, false});
  });
  r = runfakes(once, 1, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].state, slidestate::framed) << r[0].reason;

  // When none can run, the run stops with the reason: no still is to blame.
  fakeworkers none([](size_t) { return std::optional<fakeoutput>(); });
  std::string failure;
  EXPECT_EQ(runfakes(none, 3, 2, std::chrono::seconds(5), &failure).size(), 0u);
  EXPECT_EQ(failure, "cannot start a worker: refused by the test");
  // Nor when the first worker ends and no other can take its place: what
  // was made is not committed, since the run goes no further.
  fakeworkers onlyone([](size_t n) {
    return n == 0 ? std::optional<fakeoutput>(fakeoutput{reply("first"), {}, true}) : std::nullopt;
  });
  EXPECT_EQ(runfakes(onlyone, 3, 1, std::chrono::seconds(5), &failure).size(), 0u);
  EXPECT_EQ(onlyone.sent.size(), 1u);
  EXPECT_EQ(failure, "cannot start a worker: refused by the test");
}

}  // namespace
