#include "kit/kit.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kit/folder.h"
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
  kit made(frameof(videosize::pal));
  std::string why;
  tidied after;
  ASSERT_TRUE(made.begin(&why)) << why;
  ASSERT_TRUE(made.commit("a script", &why, &after)) << why;
  EXPECT_FALSE(fs::is_symlink("anim.avs"));
  EXPECT_EQ(readfile(elsewhere / "target"), "the user's own file");
}

}  // namespace
