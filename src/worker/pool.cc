#include "worker/pool.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "worker/wire.h"

namespace {

// How much of the workers' standard error one run passes on.
constexpr size_t diagnosticslimit = 64 << 10;

using clock = std::chrono::steady_clock;

}  // namespace

unsigned workercount(unsigned cpus, size_t stills, uint64_t memory) {
  if (stills == 0) return 0;
  const uint64_t fits = memory / 2 / (librarybudget + stillfilelimit);
  const uint64_t n = std::min<uint64_t>({cpus, stills, fits});
  return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

std::string overduereason(const poolsettings& settings) {
  char text[64];
  std::snprintf(text, sizeof text, "took longer than %g s",
                std::chrono::duration_cast<std::chrono::duration<double>>(settings.deadline).count());
  return text;
}

struct workerpool::worker {
  std::unique_ptr<subprocess> process;
  bool busy = false;
  size_t job = 0;
  clock::time_point due;
  std::string inbox;
};

workerpool::workerpool(poolsettings settings, subprocessset& processes)
    : settings_(std::move(settings)), processes_(processes), workers_(std::max(1u, settings_.workers)) {}

workerpool::~workerpool() { clear(); }

void workerpool::forward(const std::string& text) {
  const size_t keep = std::min(text.size(), diagnosticslimit - std::min(forwarded_, diagnosticslimit));
  forwarded_ += text.size();
  if (keep > 0 && settings_.diagnostics) settings_.diagnostics(text.substr(0, keep));
}

void workerpool::handout(worker& w, size_t i, const opener& open) {
  stilljob job;
  slideresult failed;
  if (!open(i, &job, &failed)) {
    results_[i] = std::move(failed);
    return;
  }
  std::string reason = "the name is too long";
  // An idle worker may have died since its last still; then a fresh one
  // gets the still.
  for (int attempt = 0; attempt < 2 && job.name().size() <= namelimit; ++attempt) {
    if (!w.process && !(w.process = processes_.start(&reason))) break;
    if (w.process->send(job)) {
      w.busy = true;
      w.job = i;
      w.due = clock::now() + settings_.deadline;
      return;
    }
    reason = "cannot hand the still to a worker";
    retire(w, "");
  }
  failed.reason = reason;
  results_[i] = std::move(failed);
}

// Reads what a worker sent and takes a complete reply off it.
void workerpool::drain(worker& w) {
  std::string noise;
  const bool open = w.process->read(&w.inbox, replylimit + 1 - std::min(w.inbox.size(), replylimit), &noise);
  forward(noise);
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
    results_[w.job] = std::move(r);
    w.busy = false;
    w.inbox.clear();
  }
  // A worker its sandbox is ending must get no other still.
  if (!open || p == replyparse::last) retire(w, "");
}

void workerpool::retire(worker& w, const std::string& reason) {
  if (!w.process) return;
  const std::string how = w.process->end();
  std::string rest, noise;
  w.process->read(&rest, 0, &noise);
  forward(noise);
  if (w.busy) {
    slideresult r;
    r.reason = reason.empty() ? how : reason;
    results_[w.job] = std::move(r);
  }
  w = worker{};
}

bool workerpool::run(size_t count, const opener& open, const committer& commit) {
  results_.assign(count, std::nullopt);
  const std::string overdue = overduereason(settings_);
  const size_t window = settings_.ahead * workers_.size();
  size_t handed = 0, committed = 0;
  while (committed < count) {
    for (worker& w : workers_)
      while (!w.busy && handed < count && handed < committed + window) handout(w, handed++, open);
    for (; committed < count && results_[committed]; ++committed) {
      commit(committed, std::move(*results_[committed]));
      results_[committed].reset();
    }
    if (committed == count) break;

    std::vector<subprocess*> running;
    std::vector<worker*> owners;
    std::optional<clock::duration> timeout;
    const auto now = clock::now();
    for (worker& w : workers_) {
      if (!w.process) continue;
      running.push_back(w.process.get());
      owners.push_back(&w);
      if (w.busy) timeout = std::min(timeout.value_or(clock::duration::max()), w.due - now);
    }
    if (!timeout) continue;  // nothing is being worked on: hand out or commit
    std::vector<size_t> ready;
    std::string reason;
    const waitstatus status = processes_.wait(running, timeout, &ready, &reason);
    if (status == waitstatus::interrupted) {
      clear();
      return false;
    }
    if (status == waitstatus::failed)
      for (worker& w : workers_) retire(w, reason);
    for (size_t i : ready)
      if (owners[i]->process) drain(*owners[i]);
    const auto later = clock::now();
    for (worker& w : workers_)
      if (w.process && w.busy && later >= w.due) retire(w, overdue);
  }
  clear();
  return true;
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
