#include "kit/folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/io.h"
#include "testdir.h"

namespace fs = std::filesystem;

namespace {

TEST(OpenStill, WhatWasOpenedIsLookedAtAgain) {
  tempdir dir;
  scopedcwd cwd(dir.path());
  stillstamp stamp;
  std::string reason;
  // The name changes hands between the look and the open: a folder now.
  writefile("DSC0001.JPG", "abc");
  EXPECT_EQ(openstill("DSC0001.JPG", 100, &stamp, &reason,
                      [] {
                        fs::remove("DSC0001.JPG");
                        fs::create_directory("DSC0001.JPG");
                      }),
            stillfault);
#if !defined(_WIN32)
  EXPECT_EQ(reason, "not a regular file");  // Windows does not open a folder at all
#endif

  // Another file: the still is what was opened, and its stamp is that one's.
  writefile("DSC0002.JPG", "abc");
  const int fd = openstill("DSC0002.JPG", 100, &stamp, &reason, [] {
    writefile("DSC0002.JPG.new", "0123456789");
    fs::rename("DSC0002.JPG.new", "DSC0002.JPG");
  });
  ASSERT_GE(fd, 0) << reason;
  EXPECT_EQ(stamp.size, 10u);
  EXPECT_FALSE(stillchanged("DSC0002.JPG", stamp));
  closefile(fd);
}

}  // namespace
