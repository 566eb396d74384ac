#include "base/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

TEST(OutputFile, KeepsTheFirstWriteErrorThroughLaterCalls) {
  // Small output fails only when it is flushed at the end.
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  {
    outputfile log(full);
    log.stream() << "fits in the buffer\n";
    EXPECT_TRUE(log.stream().good());
    EXPECT_FALSE(log.close());
    EXPECT_EQ(log.error(), "No space left on device");
  }
  // Large output fails in the middle; what happens to errno afterwards
  // must not change the reason.
  outputfile big(full);
  big.stream() << std::string(200000, 'y');
  std::remove("/nonexistent/vantrel/path");  // sets errno to something else
  big.stream() << "more\n";
  EXPECT_FALSE(big.close());
  EXPECT_EQ(big.error(), "No space left on device");
  EXPECT_EQ(fcntl(full, F_GETFD), FD_CLOEXEC) << "a descriptor it was given is left open";
  close(full);
}

}  // namespace
