#include "driver/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "testdir.h"

namespace {

TEST(OutputFile, MakesAFreshFileAndNeverWritesThroughALink) {
  tempdir dir;
  writefile(dir / "target", "the user's own file");
  std::filesystem::create_symlink(dir / "target", dir / "draft");
  outputfile file;
  ASSERT_TRUE(file.open(dir / "draft"));
  file.stream() << "short\n";
  EXPECT_TRUE(file.close());
  EXPECT_EQ(file.error(), "");
  EXPECT_EQ(readfile(dir / "draft"), "short\n");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "draft"));
  EXPECT_EQ(readfile(dir / "target"), "the user's own file");
}

TEST(OutputFile, ReportsACreateFailure) {
  tempdir dir;
  outputfile file;
  EXPECT_FALSE(file.open(dir / "no such folder" + "/draft"));
  EXPECT_EQ(file.error(), "No such file or directory");
  file.stream() << "dropped\n";
  EXPECT_FALSE(file.close());
}

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
