#include "driver/kit.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "driver/folder.h"
#include "testdir.h"

namespace fs = std::filesystem;

namespace {

TEST(Kit, StaysBesideTheOldOneUntilItIsPutInPlaceWhole) {
  tempdir dir;
  const scopedcwd cwd(dir.path());
  writefile("anim.avs", "the old script");
  writefile("out0001.jpg", "an old frame");
  writefile("out0002.jpg", "another old frame");
  {
    kit made;
    std::string why;
    bool replaced = true;
    ASSERT_TRUE(made.begin(&why)) << why;
    ASSERT_TRUE(made.addframe(1, "\xff\xd8 a new frame \xff\xd9", &why)) << why;
    EXPECT_EQ(readfile("out0001.jpg"), "an old frame");
    ASSERT_TRUE(made.commit(&why, &replaced)) << why;
    EXPECT_TRUE(replaced);
  }
  EXPECT_EQ(readfile("out0001.jpg"), "\xff\xd8 a new frame \xff\xd9");
  EXPECT_NE(readfile("anim.avs").find("video1=video.trim(exposition*0,exposition*1-1)"), std::string::npos);
  EXPECT_EQ(readfile("out0002.jpg"), "another old frame");  // the run removes stale frames itself
  for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().filename().string()[0], '.');

  // A kit that goes without being committed takes what it wrote with it.
  {
    kit abandoned;
    std::string why;
    ASSERT_TRUE(abandoned.begin(&why)) << why;
    ASSERT_TRUE(abandoned.addframe(1, "\xff\xd8 not wanted \xff\xd9", &why)) << why;
  }
  EXPECT_EQ(readfile("out0001.jpg"), "\xff\xd8 a new frame \xff\xd9");
  for (const auto& e : fs::directory_iterator(dir.path())) EXPECT_NE(e.path().filename().string()[0], '.');
}

TEST(Kit, TheDraftIsMadeAfreshAndNeverWrittenThroughALink) {
  tempdir dir, elsewhere;
  const scopedcwd cwd(dir.path());
  writefile(elsewhere / "target", "the user's own file");
  std::error_code cannot;
  fs::create_symlink(elsewhere / "target", draftname, cannot);
  if (cannot) GTEST_SKIP() << "needs a symbolic link, which cannot be made here: " << cannot.message();
  kit made;
  std::string why;
  bool replaced = false;
  ASSERT_TRUE(made.begin(&why)) << why;
  ASSERT_TRUE(made.commit(&why, &replaced)) << why;
  EXPECT_FALSE(fs::is_symlink("anim.avs"));
  EXPECT_EQ(readfile(elsewhere / "target"), "the user's own file");
}

TEST(Kit, NamesTheTemporaryFilesARunLeaves) {
  for (const char* name : {".out0001.jpg.new", ".out10000.jpg.new"}) EXPECT_TRUE(isdraftframe(name)) << name;
  for (const char* name : {"out0001.jpg", ".out001.jpg.new", ".outabcd.jpg.new", ".out0001.jpg", ".anim.avs.new",
                           ".out0001.jpg.new.bak"})
    EXPECT_FALSE(isdraftframe(name)) << name;
  EXPECT_EQ(draftframename(3), ".out0003.jpg.new");
}

}  // namespace
