#include "driver/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "testdir.h"

namespace {

TEST(OutputFile, WritesAndTruncates) {
  tempdir dir;
  const std::string path = dir / "anim.avs";
  writefile(path, std::string(100000, 'x'));
  outputfile file;
  ASSERT_TRUE(file.open(path.c_str()));
  file.stream() << "short\n";
  EXPECT_TRUE(file.close());
  EXPECT_EQ(file.error(), "");
  EXPECT_EQ(readfile(path), "short\n");
}

TEST(OutputFile, ReportsACreateFailure) {
  tempdir dir;
  outputfile file;
  EXPECT_FALSE(file.open(dir.path().c_str()));
  EXPECT_EQ(file.error(), "Is a directory");
  file.stream() << "dropped\n";
  EXPECT_FALSE(file.close());
}

TEST(OutputFile, KeepsTheFirstWriteErrorThroughLaterCalls) {
  outputfile file;
  ASSERT_TRUE(file.open("/dev/full"));
  // Small output fails only when it is flushed at close.
  file.stream() << "fits in the buffer\n";
  EXPECT_TRUE(file.stream().good());
  EXPECT_FALSE(file.close());
  EXPECT_EQ(file.error(), "No space left on device");

  // Large output fails in the middle of the run; what happens to errno
  // afterwards must not change the reason.
  outputfile big;
  ASSERT_TRUE(big.open("/dev/full"));
  big.stream() << std::string(200000, 'y');
  std::remove("/nonexistent/vantrel/path");  // sets errno to something else
  big.stream() << "more\n";
  EXPECT_FALSE(big.close());
  EXPECT_EQ(big.error(), "No space left on device");
}

}  // namespace
