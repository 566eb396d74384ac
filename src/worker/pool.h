// The pool of workers: the scheduling of a run's image work, the same on
// every platform (it sees workers only through subprocess.h).
//
// Stills are handed out in list order to whichever worker is free, never
// more than `ahead` stills per worker beyond the oldest unfinished one, and
// their results are committed strictly in list order. A still whose worker
// dies, overruns its deadline or sends anything but a sound reply (wire.h)
// costs only itself: it comes back unloadable with the reason, and a fresh
// worker takes the next one. A worker that cannot be started is tried once
// more, and costs nothing while another runs; the stills wait for the
// workers there are. When none can run, or the wait for them fails, that is
// a failure of the run, not of a still: the run stops. clear() is the one
// place that ends every worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/interrupt.h"
#include "slide/slide.h"
#include "worker/subprocess.h"

// One worker per usable CPU, never more than there are stills, and only as
// many as half the machine's memory holds at a worker's stillfootprint
// each (wire.h); at least one when there is a still.
unsigned workercount(unsigned cpus, size_t stills, uint64_t memory);

struct poolsettings {
  unsigned workers = 1;
  // Per still: the processor time its worker may use, so that a stopped or
  // busy machine costs no still; and, far above it, the time on the clock,
  // for a worker that sleeps for good. A stop of the whole run (Ctrl-Z)
  // starts the clock afresh.
  std::chrono::nanoseconds deadline = std::chrono::seconds(60);
  std::chrono::nanoseconds wallbound = std::chrono::minutes(10);
  // How many stills per worker may be handed out beyond the oldest one
  // whose result is not committed yet.
  size_t ahead = 8;
};

// What a still costs that overran the deadline, and the bound.
std::string overduereason(const poolsettings& settings);
std::string stalledreason(const poolsettings& settings);

class workerpool {
 public:
  workerpool(poolsettings settings, subprocessset& processes, interruptguard& guard);
  ~workerpool();  // clear()
  workerpool(const workerpool&) = delete;
  workerpool& operator=(const workerpool&) = delete;

  // Makes a job of still i, or returns false with the reason in *failed.
  using opener = std::function<bool(size_t i, stilljob* job, slideresult* failed)>;
  // Takes the result of still i, and what its worker wrote on its standard
  // error while it made it; called for i = 0, 1, 2 ... in order.
  using committer = std::function<void(size_t i, slideresult&& result, const std::string& diagnostics)>;

  enum class end { finished, interrupted, failed };
  // Runs stills 0 ... count - 1 through the workers. Ends interrupted if an
  // interruption stopped it (it looks for one between commits too), failed
  // on a failure of the run itself (failure() says what); the stills not
  // yet committed are then lost.
  end run(size_t count, const opener& open, const committer& commit);
  // From an opener or a committer: stops the run for a failure of its own
  // (out of descriptors, a frame that cannot be written), which no other
  // still would escape. The first reason given is kept.
  void stop(const std::string& reason);
  const std::string& failure() const;
  // Ends every worker at once and waits for them.
  void clear();
  // The ids of the live workers, for tests.
  std::vector<int> ids() const;

 private:
  struct worker;
  enum class handed { started, settled, waiting };
  handed handout(worker& w, size_t i, const opener& open);
  void drain(worker& w);
  void retire(worker& w, const std::string& reason);
  void settle(size_t i, slideresult&& r);
  void listen(worker& w, const std::string& noise);

  poolsettings settings_;
  subprocessset& processes_;
  interruptguard& guard_;
  std::vector<worker> workers_;
  std::vector<std::optional<slideresult>> results_;
  std::vector<std::string> diagnostics_;
  size_t heard_ = 0;
  std::string failure_;
};
