#include "kit/folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

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

#if !defined(_WIN32)
TEST(DraftFile, TakesTheFilesPlaceWholeAndACopyARunLeftGoes) {
  tempdir dir;
  const std::string file = dir / "show.mp4";
  writefile(file, "the user's own video");
  auto names = [&] {
    std::vector<std::string> all;
    for (const auto& e : fs::directory_iterator(dir.path())) all.push_back(e.path().filename().string());
    std::sort(all.begin(), all.end());
    return all;
  };
  // Copies that runs cut short left, one that a live run holds, and names
  // that are no copy of this file.
  for (const char* name :
       {".show.mp4.new283-0", ".show.mp4.new4-17", ".show.mp4.new5-0", ".show.mp4.new", ".other.mp4.new283-0"})
    writefile(dir / name, "a copy");
  const int held = open((dir / ".show.mp4.new5-0").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::vector<std::string> removed = removeleftcopies(file);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{".show.mp4.new283-0", ".show.mp4.new4-17"}));
  close(held);
  const std::vector<std::string> before = names();
  EXPECT_EQ(before, (std::vector<std::string>{".other.mp4.new283-0", ".show.mp4.new", ".show.mp4.new5-0", "show.mp4"}));

  // Not committed, a draft leaves nothing; committed, it is the file.
  for (const bool commit : {false, true}) {
    draftfile draft(file);
    ASSERT_GE(draft.fd(), 0) << draft.error();
    ASSERT_EQ(writeall(draft.fd(), "the new video", 13), 0);
    std::string why;
    if (commit) {
      EXPECT_TRUE(draft.commit(&why)) << why;
    }
  }
  EXPECT_EQ(names(), before);
  EXPECT_EQ(readfile(file), "the new video");
  // Where it cannot be made: the reason.
  draftfile nowhere(dir / "gone/show.mp4");
  EXPECT_EQ(nowhere.fd(), -1);
  EXPECT_EQ(nowhere.error(), "No such file or directory");
}
#endif

}  // namespace
