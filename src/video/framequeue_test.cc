// The frames between their maker and the encoder (framequeue.h): in order,
// never more than the queue holds, and a maker waiting on a full queue
// released when the encoder gives up. (A maker that fails is the render's
// test: render_test.cc.)
#include "video/framequeue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

madeframe numbered(int n) {
  madeframe f;
  f.picture.reset(av_frame_alloc());
  f.picture->pts = n;
  f.settled = n % 2 == 0;
  return f;
}

TEST(FrameQueue, FramesArriveInOrderAndTheMakerWaitsWhileTheQueueIsFull) {
  framequeue queue(3);
  std::atomic<int> pushed{0};
  std::thread maker([&] {
    for (int n = 0; n < 50 && queue.push(numbered(n)); ++n) ++pushed;
    queue.close();
  });
  // Nothing is taken yet: the maker stops at the queue's size.
  while (pushed < 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pushed, 3);
  madeframe f;
  for (int n = 0; n < 50; ++n) {
    ASSERT_TRUE(queue.pop(&f));
    EXPECT_EQ(f.picture->pts, n);
    EXPECT_EQ(f.settled, n % 2 == 0);
  }
  EXPECT_FALSE(queue.pop(&f));  // closed and empty
  maker.join();
}

TEST(FrameQueue, AMakerWaitingOnAFullQueueIsReleasedWhenTheEncoderStops) {
  framequeue queue(1);
  std::atomic<bool> refused{false};
  std::thread maker([&] {
    while (queue.push(numbered(0))) {
    }
    refused = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.stop();
  maker.join();
  EXPECT_TRUE(refused);
  madeframe f;
  EXPECT_FALSE(queue.pop(&f));
}

}  // namespace
