#include "driver/commit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>

#include "fixtures.h"
#include "slide/image.h"
#include "testdir.h"

namespace {

const rgb red{220, 30, 30}, blue{30, 40, 210}, green{40, 200, 60}, black{0, 0, 0};

// The library's memory hooks go in before anything in this process (the
// test pictures included) initialises it.
const bool libraryready = (initimagelibrary(), true);

// commitslide in a fresh folder, with the streams captured.
class ProcessImage : public ::testing::Test {
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
    const commitment c = commitslide(counter, name, made, "", slidestreams{log, err}, frames, &failure);
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
  kit frames;
};

TEST_F(ProcessImage, StretchesLandscapeAndSquareStillsUpright) {
  still("DSC0001.JPG", 400, 300, red, blue);
  still("DSC0002.JPG", 100, 100, green, green);
  ASSERT_TRUE(process("DSC0001.JPG"));
  ASSERT_TRUE(process("DSC0002.JPG"));
  EXPECT_EQ(counter, 3);
  EXPECT_EQ(log.str(),
            "processimage:DSC0001.JPG\nht=300\nwd=400\n"
            "processimage:DSC0002.JPG\nht=100\nwd=100\n");
  EXPECT_EQ(err.str(), "");

  const picture first = saved(1);
  ASSERT_EQ(first.width, 720u);
  ASSERT_EQ(first.height, 576u);
  // Corners to corners: nothing cropped, nothing flipped, no bars.
  EXPECT_TRUE(near(first.at(2, 2), red));
  EXPECT_TRUE(near(first.at(717, 2), red));
  EXPECT_TRUE(near(first.at(2, 573), blue));
  EXPECT_TRUE(near(first.at(717, 573), blue));

  const picture second = saved(2);
  ASSERT_EQ(second.width, 720u);
  ASSERT_EQ(second.height, 576u);
  EXPECT_TRUE(near(second.at(2, 2), green));
  EXPECT_TRUE(near(second.at(717, 573), green));
}

TEST_F(ProcessImage, CentresPortraitStillsBetweenBlackBars) {
  still("DSC0001.JPG", 300, 400, red, blue);  // 480 wide in the frame: bars of 120
  ASSERT_TRUE(process("DSC0001.JPG"));
  EXPECT_EQ(log.str(), "processimage:DSC0001.JPG\nht=400\nwd=300\n");
  const picture frame = saved(1);
  ASSERT_EQ(frame.width, 720u);
  ASSERT_EQ(frame.height, 576u);
  for (unsigned y : {5u, 570u}) {
    EXPECT_TRUE(near(frame.at(5, y), black));
    EXPECT_TRUE(near(frame.at(110, y), black));
    EXPECT_TRUE(near(frame.at(610, y), black));
    EXPECT_TRUE(near(frame.at(714, y), black));
  }
  EXPECT_TRUE(near(frame.at(130, 5), red));
  EXPECT_TRUE(near(frame.at(590, 5), red));
  EXPECT_TRUE(near(frame.at(130, 570), blue));
  EXPECT_TRUE(near(frame.at(590, 570), blue));
}

TEST_F(ProcessImage, AVeryTallStillBecomesAThinColumn) {
  still("DSC0001.JPG", 2, 1400, green, green);  // 640 / 700 rounds down to 0 without the floor
  ASSERT_TRUE(process("DSC0001.JPG"));
  const picture frame = saved(1);
  ASSERT_EQ(frame.width, 720u);
  ASSERT_EQ(frame.height, 576u);
  EXPECT_TRUE(near(frame.at(100, 288), black));
  EXPECT_TRUE(near(frame.at(620, 288), black));
}

// An 8-bit BMP whose every pixel is palette entry 1, red.
std::string palettebmp(unsigned w, unsigned h) {
  auto u32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto u16 = [](uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  const uint32_t row = (w + 3) / 4 * 4, offset = 14 + 40 + 256 * 4, size = row * h;
  std::string palette(256 * 4, '\0');
  palette[4 + 2] = '\xff';  // entries are blue, green, red, 0
  std::string pixels;
  for (unsigned y = 0; y < h; ++y) pixels += std::string(w, '\1') + std::string(row - w, '\0');
  return "BM" + u32(offset + size) + u32(0) + u32(offset) + u32(40) + u32(w) + u32(h) + u16(1) + u16(8) +
         u32(0) + u32(size) + u32(2835) + u32(2835) + u32(256) + u32(0) + palette + pixels;
}

TEST_F(ProcessImage, ScalesPalettePicturesByColour) {
  writefile("DSC0001.JPG.bmp", palettebmp(30, 40));
  ASSERT_TRUE(process("DSC0001.JPG.bmp")) << err.str();
  const picture frame = saved(1);
  ASSERT_EQ(frame.width, 720u);
  EXPECT_TRUE(near(frame.at(360, 288), red, 40));
  EXPECT_TRUE(near(frame.at(5, 288), black));
}

TEST_F(ProcessImage, ReplacesAnOldFrameWhenTheKitIsPutInPlace) {
  writefile("out0001.jpg", "left over from an earlier run");
  still("DSC0001.JPG", 64, 48, blue, blue);
  std::string why;
  ASSERT_TRUE(frames.begin(&why)) << why;
  ASSERT_TRUE(process("DSC0001.JPG"));
  EXPECT_EQ(readfile("out0001.jpg"), "left over from an earlier run");
  kit::tidied after;
  ASSERT_TRUE(frames.commit(&why, &after)) << why;
  EXPECT_EQ(readpicture("out0001.jpg").width, 720u);
}

TEST_F(ProcessImage, AStillThatCannotBeLoadedTakesNoNumber) {
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
