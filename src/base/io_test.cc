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

// Reads and writes at an offset leave the descriptor's own offset where it
// was: two readers or a reader and a writer can share one descriptor.
TEST(Io, ReadsAndWritesAtAnOffsetAndTellsTheSize) {
  tempdir dir;
  const std::string path = dir / "file";
  writefile(path, "abcdef");
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(seekto(fd, 1), 0);
  EXPECT_EQ(writeallat(fd, 4, "XYZ", 3), 0);  // past the end: the file grows
  char back[8] = {};
  size_t got = 0;
  EXPECT_EQ(readat(fd, 3, back, sizeof back, &got), 0);
  EXPECT_EQ(std::string(back, got), "dXYZ");  // as much as there is
  EXPECT_EQ(readat(fd, 7, back, sizeof back, &got), 0);
  EXPECT_EQ(got, 0u);  // the end
  uint64_t size = 0;
  EXPECT_EQ(filesize(fd, &size), 0);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 1) << "the descriptor's offset moved";
  EXPECT_EQ(closefile(fd), 0);
  EXPECT_EQ(readfile(path), "abcdXYZ");
  EXPECT_EQ(readat(-1, 0, back, 1, &got), EBADF);
  EXPECT_EQ(writeallat(-1, 0, "x", 1), EBADF);
  EXPECT_EQ(filesize(-1, &size), EBADF);
}

}  // namespace
