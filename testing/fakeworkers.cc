#include "fakeworkers.h"

#include <algorithm>

namespace {

class fakeworker : public subprocess {
 public:
  fakeworker(fakeoutput out, std::vector<std::string>* sent, int id, size_t* alive)
      : out_(std::move(out)), sent_(sent), id_(id), alive_(alive) {
    ++*alive_;
  }
  ~fakeworker() override { --*alive_; }

  bool send(const stilljob& job) override {
    if (ended_ || (out_.ends && at_ >= out_.bytes.size() && !sent_->empty())) return false;
    sent_->push_back(job.name());
    return true;
  }

  bool read(std::string* replies, size_t limit, std::string*) override {
    if (sent_->empty()) return true;  // nothing is sent before the first job
    size_t piece = out_.bytes.size() - at_;
    if (next_ < out_.reads.size()) piece = std::min(piece, out_.reads[next_++]);
    piece = std::min(piece, limit);
    replies->append(out_.bytes, at_, piece);
    at_ += piece;
    return !(out_.ends && at_ >= out_.bytes.size());
  }

  std::chrono::nanoseconds cputime() override { return used; }

  std::string end() override {
    ended_ = true;
    return "the worker stopped unexpectedly (exit status 0)";
  }

  int id() const override { return id_; }

  // The processor time it has used: it spends its time waiting.
  std::chrono::nanoseconds used{0};

  // Whether a read would find something: bytes, or the end.
  bool ready() const { return !ended_ && !sent_->empty() && (at_ < out_.bytes.size() || out_.ends); }

 private:
  fakeoutput out_;
  std::vector<std::string>* sent_;
  int id_;
  size_t* alive_;
  size_t at_ = 0, next_ = 0;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<subprocess> fakeworkers::start(std::string* reason) {
  std::optional<fakeoutput> out = script_(sent.size());
  if (!out) {
    *reason = "cannot start a worker: refused by the test";
    return nullptr;
  }
  const size_t n = sent.size();
  sent.emplace_back();
  return std::make_unique<fakeworker>(std::move(*out), &sent[n], static_cast<int>(n), &alive);
}

waitstatus fakeworkers::wait(const std::vector<subprocess*>& running, std::optional<std::chrono::nanoseconds> timeout,
                             std::vector<size_t>* ready, std::string*) {
  for (size_t i = 0; i < running.size(); ++i)
    if (static_cast<fakeworker*>(running[i])->ready()) ready->push_back(i);
  if (!ready->empty()) return waitstatus::ready;
  // Nothing will come: the time passes at once, as if spent working.
  for (subprocess* p : running) static_cast<fakeworker*>(p)->used += timeout.value_or(std::chrono::seconds(1));
  return waitstatus::timedout;
}
