// A process layer without processes, for tests of the pool and its fuzz
// target: each worker it starts sends, job after job, bytes the test chose,
// in pieces of the sizes the test chose, one piece per read.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "worker/subprocess.h"

struct fakeoutput {
  std::string bytes;          // everything the worker sends in its life
  std::vector<size_t> reads;  // how it is split into reads; the rest in one piece
  bool ends = true;           // whether it closes its channel when all is sent
};

class fakeworkers : public subprocessset {
 public:
  // What the n-th worker started (0, 1, 2 ...) sends, once it has been
  // handed its first job; nullopt refuses the start.
  using script = std::function<std::optional<fakeoutput>(size_t n)>;
  explicit fakeworkers(script s) : script_(std::move(s)) {}

  std::unique_ptr<subprocess> start(std::string* reason) override;
  waitstatus wait(const std::vector<subprocess*>& running, std::optional<std::chrono::nanoseconds> timeout,
                  std::vector<size_t>* ready, std::string* reason) override;

  // The names of the jobs each worker was sent, by worker.
  std::deque<std::vector<std::string>> sent;
  // How many of the workers started still exist.
  size_t alive = 0;

 private:
  script script_;
};
