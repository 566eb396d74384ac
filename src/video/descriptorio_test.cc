#include "video/descriptorio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testdir.h"

namespace {

// A writer and a reader on one descriptor, as the mp4 muxer's second pass
// has them: each reads or writes at its own offset, whatever the other
// does, and the descriptor's own offset stays where it was.
TEST(Descriptorio, AReaderAndAWriterShareOneDescriptor) {
  const tempdir dir;
  const int fd = ::open((dir / "file").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  AVIOContext* writer = descriptorwriter(fd);
  AVIOContext* reader = descriptorreader(fd);
  ASSERT_TRUE(writer && reader);
  avio_write(writer, reinterpret_cast<const unsigned char*>("0123456789"), 10);
  avio_flush(writer);
  EXPECT_EQ(avio_size(reader), 10);
  // Shift the bytes from 2 on by 3, reading ahead of the writing.
  EXPECT_EQ(avio_seek(reader, 2, SEEK_SET), 2);
  EXPECT_EQ(avio_seek(writer, 5, SEEK_SET), 5);
  unsigned char chunk[4];
  for (int n; (n = avio_read(reader, chunk, sizeof chunk)) > 0;) avio_write(writer, chunk, n);
  avio_flush(writer);
  EXPECT_EQ(writer->error, 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "the descriptor's offset moved";
  freedescriptorio(&writer);
  freedescriptorio(&reader);
  EXPECT_EQ(writer, nullptr);
  ::close(fd);
  EXPECT_EQ(readfile(dir / "file"), "0123423456789");
}

}  // namespace
