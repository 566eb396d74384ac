// The frames of the show between the one who makes them and the encoder:
// the render composes the next pictures on one thread while the encoder
// takes the earlier ones on another, so that neither waits for the other
// and both processors stay busy. A few frames at most are held, each a
// picture of a few megabytes.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "video/format.h"

// A frame of the show as the encoder takes it: its picture (streampixels),
// and whether it is a slide's settled picture (mux.h's writepicture).
struct madeframe {
  frameptr picture;
  bool settled = false;
};

class framequeue {
 public:
  explicit framequeue(size_t most) : most_(most < 1 ? 1 : most) {}

  // Hands the frame on, waiting while the queue holds most frames. False
  // (the frame dropped) once the taker has stopped.
  bool push(madeframe frame);
  // The next frame, waiting for it. False once no more will come: the
  // maker closed the queue and every frame was taken, or the taker stopped.
  bool pop(madeframe* frame);
  // The maker is done, or has failed: what it pushed is still taken.
  void close();
  // The taker gives up: every push and pop from now on is false.
  void stop();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<madeframe> frames_;
  size_t most_;
  bool closed_ = false, stopped_ = false;
};
