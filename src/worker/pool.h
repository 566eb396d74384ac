// The pool of workers: the scheduling of a run's image work, the same on
// every platform (it sees workers only through subprocess.h).
//
// Stills are handed out in list order to whichever worker is free, never
// more than `ahead` stills per worker beyond the oldest unfinished one, and
// their results are committed strictly in list order. A still whose worker
// dies, overruns its deadline or sends anything but a sound reply (wire.h)
// costs only itself: it comes back unloadable with the reason, and a fresh
// worker takes the next one. clear() is the one place that ends every
// worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "slide/slide.h"
#include "worker/subprocess.h"

// What one worker may use: the image library's allocations, and the still's
// bytes, which it holds beside them.
constexpr size_t librarybudget = size_t{1} << 30;

// One worker per usable CPU, never more than there are stills, and only as
// many as half the machine's memory holds at a worker's budget each; at
// least one when there is a still.
unsigned workercount(unsigned cpus, size_t stills, uint64_t memory);

struct poolsettings {
  unsigned workers = 1;
  // Per still, on the wall clock.
  std::chrono::nanoseconds deadline = std::chrono::seconds(60);
  // How many stills per worker may be handed out beyond the oldest one
  // whose result is not committed yet.
  size_t ahead = 8;
  // Whatever the workers wrote on their standard error.
  std::function<void(const std::string&)> diagnostics;
};

// "took longer than 60 s": what a still costs that overran the deadline.
std::string overduereason(const poolsettings& settings);

class workerpool {
 public:
  workerpool(poolsettings settings, subprocessset& processes);
  ~workerpool();  // clear()
  workerpool(const workerpool&) = delete;
  workerpool& operator=(const workerpool&) = delete;

  // Makes a job of still i, or returns false with the reason in *failed.
  using opener = std::function<bool(size_t i, stilljob* job, slideresult* failed)>;
  // Takes the result of still i; called for i = 0, 1, 2 ... in order.
  using committer = std::function<void(size_t i, slideresult&& result)>;

  // Runs stills 0 ... count - 1 through the workers. Returns false if an
  // interruption stopped it; the stills not yet committed are then lost.
  bool run(size_t count, const opener& open, const committer& commit);
  // Ends every worker at once and waits for them.
  void clear();
  // The ids of the live workers, for tests.
  std::vector<int> ids() const;

 private:
  struct worker;
  void handout(worker& w, size_t i, const opener& open);
  void drain(worker& w);
  void retire(worker& w, const std::string& reason);
  void forward(const std::string& text);

  poolsettings settings_;
  subprocessset& processes_;
  std::vector<worker> workers_;
  std::vector<std::optional<slideresult>> results_;
  size_t forwarded_ = 0;
};
