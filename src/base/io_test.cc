#include "base/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "testdir.h"

namespace {

TEST(Io, MovesWholeBuffersThroughDescriptors) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const std::string big(200000, 'v');  // more than a pipe holds at once
  std::string back(big.size(), '\0');
  std::thread reader([&] { EXPECT_TRUE(readall(p[0], back.data(), back.size())); });
  EXPECT_EQ(writeall(p[1], big.data(), big.size()), 0);
  reader.join();
  EXPECT_EQ(back, big);
  close(p[1]);
  char byte;
  EXPECT_FALSE(readall(p[0], &byte, 1));  // the end, not a byte
  close(p[0]);
}

TEST(Io, SeeksSyncsAndClosesWithTheErrnoOfAFailure) {
  tempdir dir;
  const std::string path = dir / "file";
  writefile(path, "abcdef");
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(seekto(fd, 2), 0);
  EXPECT_EQ(writeall(fd, "XY", 2), 0);
  EXPECT_EQ(syncfile(fd), 0);
  EXPECT_EQ(closefile(fd), 0);
  EXPECT_EQ(readfile(path), "abXYef");
  EXPECT_EQ(closefile(fd), EBADF);  // closed already
  EXPECT_EQ(syncfile(-1), EBADF);
  EXPECT_EQ(writeall(-1, "x", 1), EBADF);
  char byte;
  EXPECT_FALSE(readall(-1, &byte, 1));
}

}  // namespace
