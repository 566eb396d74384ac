// The test program's entry: a worker first (where workers are fresh
// processes of this program), the test suite otherwise.
#include <gtest/gtest.h>

#include "workerkinds.h"

int main(int argc, char** argv) {
  serveifworker({argv + 1, argv + argc}, findworkerkind);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
