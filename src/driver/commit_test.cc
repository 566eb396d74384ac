#include "driver/commit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "fixtures.h"
#include "slide/image.h"
#include "testdir.h"

namespace {

const rgb red{220, 30, 30}, blue{30, 40, 210}, green{40, 200, 60};

// The library's memory hooks go in before anything in this process (the
// test pictures included) initialises it.
const bool libraryready = (initimagelibrary(), true);

// commitslide in a fresh folder, with the streams captured.
class CommitSlide : public ::testing::Test {
 protected:
  // Both halves of a slide, as a run does them; a missing still gets the
  // reason the run gives it.
  bool process(const std::string& name) {
    slideresult made;
    if (std::filesystem::exists(name)) {
      const std::string bytes = readfile(name);
      made = makeframe(name.c_str(), bytes.data(), bytes.size());
    } else {
      made.reason = "could not open file (No such file or directory)";
    }
    std::string failure;
    const commitment c = commitslide(counter, name, made, "", slidestreams{log, err}, frames, nullptr, &failure);
    EXPECT_EQ(failure, "");
    return c == commitment::slide;
  }
  // Slide n's frame, as the run has saved it until its kit is put in place.
  static picture saved(int n) { return readpicture(draftframename(n)); }

  static void still(const std::string& path, unsigned w, unsigned h, rgb top, rgb bottom) {
    ASSERT_TRUE(writehalves(path, w, h, top, bottom));
  }

  tempdir dir;
  scopedcwd cwd{dir.path()};
  int counter = 1;
  std::ostringstream log, err;
  kit frames{frameof(videosize::pal)};
};

TEST_F(CommitSlide, LogsEachStillWithItsSizeAndSavesItsFrameUnderItsNumber) {
  // What the frame shows is the slide module's (slide_test.cc).
  still("DSC0001.JPG", 400, 300, red, blue);
  still("DSC0002.JPG", 100, 100, green, green);
  ASSERT_TRUE(process("DSC0001.JPG"));
  ASSERT_TRUE(process("DSC0002.JPG"));
  EXPECT_EQ(counter, 3);
  EXPECT_EQ(log.str(),
            "processimage:DSC0001.JPG\nht=300\nwd=400\n"
            "processimage:DSC0002.JPG\nht=100\nwd=100\n");
  EXPECT_EQ(err.str(), "");
  for (int n : {1, 2}) {
    const picture frame = saved(n);
    EXPECT_EQ(frame.width, 720u) << n;
    EXPECT_EQ(frame.height, 576u) << n;
  }
  EXPECT_TRUE(near(saved(1).at(2, 2), red));
  EXPECT_TRUE(near(saved(2).at(2, 2), green));
}

TEST_F(CommitSlide, ReplacesAnOldFrameWhenTheKitIsPutInPlace) {
  writefile("out0001.jpg", "left over from an earlier run");
  still("DSC0001.JPG", 64, 48, blue, blue);
  std::string why;
  ASSERT_TRUE(frames.begin(&why)) << why;
  ASSERT_TRUE(process("DSC0001.JPG"));
  EXPECT_EQ(readfile("out0001.jpg"), "left over from an earlier run");
  tidied after;
  ASSERT_TRUE(frames.commit("a script", &why, &after)) << why;
  EXPECT_EQ(readpicture("out0001.jpg").width, 720u);
}

TEST_F(CommitSlide, AStillThatCannotBeLoadedTakesNoNumber) {
  // The kinds of unloadable file are run end to end in the driver's tests;
  // here: the previous still's pixels must not be saved under a new number.
  still("DSC0000.JPG", 64, 48, red, red);
  ASSERT_TRUE(process("DSC0000.JPG"));
  writefile("DSC0001.JPG", "this is not a picture");
  log.str("");

  for (const char* name : {"DSC0001.JPG", "DSC0002.JPG"}) {  // the second is missing
    EXPECT_FALSE(process(name)) << name;
    EXPECT_EQ(counter, 2) << name;
  }
  EXPECT_EQ(log.str(), "processimage:DSC0001.JPG\nprocessimage:DSC0002.JPG\n");
  const std::vector<std::string> errors = splitlines(err.str());
  ASSERT_EQ(errors.size(), 2u) << err.str();
  EXPECT_EQ(errors[0].rfind("vantrel: DSC0001.JPG: cannot load: ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], "vantrel: DSC0002.JPG: cannot load: could not open file (No such file or directory)");
  EXPECT_EQ(readfile(draftframename(2)), "");  // nothing saved under the next number
}

}  // namespace
