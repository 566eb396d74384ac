#include "driver/kit.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "driver/folder.h"
#include "testdir.h"

namespace fs = std::filesystem;

namespace {

TEST(Kit, TheDraftIsMadeAfreshAndNeverWrittenThroughALink) {
  tempdir dir, elsewhere;
  const scopedcwd cwd(dir.path());
  writefile(elsewhere / "target", "the user's own file");
  std::error_code cannot;
  fs::create_symlink(elsewhere / "target", draftname, cannot);
  if (cannot) GTEST_SKIP() << "needs a symbolic link, which cannot be made here: " << cannot.message();
  kit made;
  std::string why;
  kit::tidied after;
  ASSERT_TRUE(made.begin(&why)) << why;
  ASSERT_TRUE(made.commit("a script", &why, &after)) << why;
  EXPECT_FALSE(fs::is_symlink("anim.avs"));
  EXPECT_EQ(readfile(elsewhere / "target"), "the user's own file");
}

TEST(Kit, NamesTheTemporaryFilesARunLeaves) {
  for (const char* name : {".out0001.jpg.new", ".out10000.jpg.new"}) EXPECT_TRUE(isdraftframe(name)) << name;
  for (const char* name :
       {"out0001.jpg", ".out001.jpg.new", ".outabcd.jpg.new", ".out0001.jpg", ".anim.avs.new", ".out0001.jpg.new.bak"})
    EXPECT_FALSE(isdraftframe(name)) << name;
  EXPECT_EQ(draftframename(3), ".out0003.jpg.new");
}

}  // namespace
