#include "worker/pool.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "worker/wire.h"

namespace {

// How much of the workers' standard error one run passes on, and one still.
constexpr size_t diagnosticslimit = 64 << 10;
constexpr size_t stilldiagnosticslimit = 4 << 10;

using clock = std::chrono::steady_clock;

std::string seconds(std::chrono::nanoseconds t) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(t).count());
  return text;
}

}  // namespace

unsigned workercount(unsigned cpus, size_t stills, uint64_t memory) {
  if (stills == 0) return 0;
  const uint64_t fits = memory / 2 / stillfootprint;
  const uint64_t n = std::min<uint64_t>({cpus, stills, fits});
  return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

std::string overduereason(const poolsettings& settings) {
  return "took longer than " + seconds(settings.deadline) + " of processor time";
}

std::string stalledreason(const poolsettings& settings) {
  return "did not finish within " + seconds(settings.wallbound);
}

struct workerpool::worker {
  std::unique_ptr<subprocess> process;
  bool busy = false;
  size_t job = 0;
  std::chrono::nanoseconds cpustart{0};
  clock::time_point wallstart;
  std::string inbox;
};

workerpool::workerpool(poolsettings settings, subprocessset& processes, interruptguard& guard)
    : settings_(std::move(settings)), processes_(processes), guard_(guard), workers_(std::max(1u, settings_.workers)) {}

workerpool::~workerpool() {
  // Also while memory has run out: every worker is ended, its words or not.
  try {
    clear();
  } catch (...) {
    for (worker& w : workers_) w.process.reset();
  }
}

void workerpool::settle(size_t i, slideresult&& r) { results_[i] = std::move(r); }

// What a worker wrote on its standard error belongs to the still it works
// on, or last worked on.
void workerpool::listen(worker& w, const std::string& noise) {
  if (noise.empty() || heard_ >= diagnosticslimit) return;
  std::string& kept = diagnostics_[w.job];
  const size_t room =
      std::min(stilldiagnosticslimit - std::min(kept.size(), stilldiagnosticslimit), diagnosticslimit - heard_);
  kept.append(noise, 0, room);
  heard_ += std::min(room, noise.size());
}

workerpool::handed workerpool::handout(worker& w, size_t i, const opener& open) {
  stilljob job;
  slideresult failed;
  if (!open(i, &job, &failed)) {
    settle(i, std::move(failed));
    return handed::settled;
  }
  if (job.name().size() > namelimit) {
    failed.reason = "the name is too long";
    settle(i, std::move(failed));
    return handed::settled;
  }
  // An idle worker may have died since its last still; then a fresh one
  // gets the still. A start that fails is tried once more: a process can
  // fail to come up for a passing reason.
  std::string reason;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!w.process && !(w.process = processes_.start(&reason))) continue;
    if (w.process->send(job)) {
      w.busy = true;
      w.job = i;
      w.cpustart = w.process->cputime();
      w.wallstart = clock::now();
      return handed::started;
    }
    reason = "cannot hand the still to a worker";
    retire(w, "");
  }
  // While another worker runs, the still waits for it; with none, the run
  // cannot go on.
  for (const worker& other : workers_)
    if (other.process) return handed::waiting;
  stop(reason);
  return handed::waiting;
}

void workerpool::stop(const std::string& reason) {
  if (failure_.empty()) failure_ = reason.empty() ? "the run failed" : reason;
}

const std::string& workerpool::failure() const { return failure_; }

// Reads what a worker sent and takes a complete reply off it.
void workerpool::drain(worker& w) {
  std::string noise;
  const bool open = w.process->read(&w.inbox, replylimit + 1 - std::min(w.inbox.size(), replylimit), &noise);
  listen(w, noise);
  slideresult r;
  size_t used = 0;
  const replyparse p = decodereply(w.inbox, &r, &used);
  const bool replied = p == replyparse::complete || p == replyparse::last;
  // One reply per job, and nothing after it: more is not a sound worker.
  if (p == replyparse::malformed || (replied && (!w.busy || used != w.inbox.size()))) {
    retire(w, "the worker sent a malformed reply");
    return;
  }
  if (replied) {
    settle(w.job, std::move(r));
    w.busy = false;
    w.inbox.clear();
  }
  // A worker its sandbox is ending must get no other still.
  if (!open || p == replyparse::last) retire(w, "");
}

void workerpool::retire(worker& w, const std::string& reason) {
  if (!w.process) return;
  const std::string how = w.process->end();
  // What it wrote before it ended, a dying library's last words among it.
  std::string rest, noise;
  w.process->read(&rest, 0, &noise);
  listen(w, noise);
  if (w.busy) {
    slideresult r;
    r.reason = reason.empty() ? how : reason;
    settle(w.job, std::move(r));
  }
  w = worker{};
}

workerpool::end workerpool::run(size_t count, const opener& open, const committer& commit) {
  results_.assign(count, std::nullopt);
  diagnostics_.assign(count, std::string());
  failure_.clear();
  const std::string overdue = overduereason(settings_), stalled = stalledreason(settings_);
  const size_t window = std::max<size_t>(1, settings_.ahead) * workers_.size();
  size_t handedout = 0, committed = 0;
  unsigned resumptions = guard_.resumptions();
  auto finish = [&](end how) {
    clear();
    return how;
  };
  while (committed < count) {
    // Idle workers first, then fresh ones; a still that must wait stops the
    // round.
    bool waiting = false;
    for (bool fresh : {false, true})
      for (worker& w : workers_)
        while (!waiting && !w.busy && (w.process != nullptr) != fresh && handedout < count &&
               handedout < committed + window && failure_.empty()) {
          const handed h = handout(w, handedout, open);
          waiting = h == handed::waiting;
          if (!waiting) ++handedout;
          if (h == handed::started) break;
        }
    for (; committed < count && results_[committed] && failure_.empty(); ++committed) {
      if (guard_.pending()) return finish(end::interrupted);
      commit(committed, std::move(*results_[committed]), std::exchange(diagnostics_[committed], {}));
      results_[committed].reset();
    }
    if (!failure_.empty()) return finish(end::failed);
    if (committed == count) break;

    std::vector<subprocess*> running;
    std::vector<worker*> owners;
    std::optional<std::chrono::nanoseconds> timeout;
    const auto now = clock::now();
    for (worker& w : workers_) {
      if (!w.process) continue;
      running.push_back(w.process.get());
      owners.push_back(&w);
      if (!w.busy) continue;
      // Processor time cannot pass faster than the clock, so what is left
      // of it is a safe time to look again.
      const auto left =
          std::min(settings_.deadline - (w.process->cputime() - w.cpustart),
                   std::chrono::duration_cast<std::chrono::nanoseconds>(settings_.wallbound - (now - w.wallstart)));
      timeout = std::min(timeout.value_or(left), left);
    }
    if (!timeout) continue;  // nothing is being worked on: hand out or commit
    std::vector<size_t> ready;
    std::string reason;
    const waitstatus status = processes_.wait(running, timeout, &ready, &reason);
    if (status == waitstatus::interrupted) return finish(end::interrupted);
    if (status == waitstatus::failed) {
      stop(reason);
      return finish(end::failed);
    }
    for (size_t i : ready)
      if (owners[i]->process) drain(*owners[i]);
    const auto later = clock::now();
    if (guard_.resumptions() != resumptions) {
      // The run was stopped and continued: the clock starts afresh.
      resumptions = guard_.resumptions();
      for (worker& w : workers_) w.wallstart = later;
    }
    for (worker& w : workers_) {
      if (!w.process || !w.busy) continue;
      if (w.process->cputime() - w.cpustart >= settings_.deadline)
        retire(w, overdue);
      else if (later - w.wallstart >= settings_.wallbound)
        retire(w, stalled);
    }
  }
  return finish(end::finished);
}

void workerpool::clear() {
  for (worker& w : workers_) {
    w.busy = false;
    retire(w, "");
  }
}

std::vector<int> workerpool::ids() const {
  std::vector<int> out;
  for (const worker& w : workers_)
    if (w.process) out.push_back(w.process->id());
  return out;
}
