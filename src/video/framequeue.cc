#include "video/framequeue.h"

#include <utility>

bool framequeue::push(madeframe frame) {
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return stopped_ || frames_.size() < most_; });
  if (stopped_) return false;
  frames_.push_back(std::move(frame));
  changed_.notify_all();
  return true;
}

bool framequeue::pop(madeframe* frame) {
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return stopped_ || closed_ || !frames_.empty(); });
  if (stopped_ || frames_.empty()) return false;
  *frame = std::move(frames_.front());
  frames_.pop_front();
  changed_.notify_all();
  return true;
}

void framequeue::close() {
  std::lock_guard<std::mutex> held(lock_);
  closed_ = true;
  changed_.notify_all();
}

void framequeue::stop() {
  std::lock_guard<std::mutex> held(lock_);
  stopped_ = true;
  frames_.clear();
  changed_.notify_all();
}
