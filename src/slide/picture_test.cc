#include "slide/picture.h"

#include <gtest/gtest.h>

#include "fixtures.h"
#include "slide/image.h"
#include "slide/orientation.h"
#include "testdir.h"

namespace {

const bool libraryready = (initimagelibrary(), true);

TEST(PictureBox, EachShapeStandsWholeInTheFrame) {
  const struct {
    unsigned width, height, framewidth, frameheight, boxwidth, boxheight;
  } cases[] = {
      {4000, 3000, 1920, 1080, 1440, 1080},  // 4:3
      {6000, 4000, 1920, 1080, 1620, 1080},  // 3:2
      {3840, 2160, 1920, 1080, 1920, 1080},  // 16:9
      {3000, 4000, 1920, 1080, 810, 1080},   // 3:4
      {2100, 900, 1920, 1080, 1920, 823},    // 21:9
      {4000, 3000, 1280, 720, 960, 720},    {4000, 3000, 3840, 2160, 2880, 2160},
      {100, 68, 1920, 1080, 1588, 1080},  // enlarged
      {1, 5000, 1920, 1080, 1, 1080},     // never 0 wide
  };
  for (const auto& c : cases) {
    const picturesize box = boxof(c.width, c.height, c.framewidth, c.frameheight);
    EXPECT_EQ(box.width, c.boxwidth) << c.width << " x " << c.height << " in " << c.frameheight;
    EXPECT_EQ(box.height, c.boxheight) << c.width << " x " << c.height << " in " << c.frameheight;
  }
}

pixels painted(unsigned w, unsigned h, const std::function<rgb(unsigned, unsigned)>& paint) {
  pixels p;
  p.width = w, p.height = h, p.channels = 3;
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x) {
      const rgb c = paint(x, y);
      p.data.insert(p.data.end(), {c.r, c.g, c.b});
    }
  return p;
}

TEST(Picture, ColoursAreBt709LimitedRangeWithChromaBesideTheEvenColumns) {
  // Each colour as BT.709 puts it in limited range: Y, Cb, Cr.
  const struct {
    rgb colour;
    int y, cb, cr;
  } cases[] = {
      {{255, 255, 255}, 235, 128, 128}, {{0, 0, 0}, 16, 128, 128},   {{255, 0, 0}, 63, 102, 240},
      {{0, 255, 0}, 173, 42, 26},       {{0, 0, 255}, 32, 240, 118}, {{128, 128, 128}, 126, 128, 128},
  };
  for (const auto& c : cases) {
    const std::string yuv = yuv420(painted(3, 3, [&](unsigned, unsigned) { return c.colour; }));
    ASSERT_EQ(yuv.size(), 9u + 2 * 4);  // chroma 2 x 2 for 3 x 3
    for (int i = 0; i < 9; ++i) EXPECT_EQ(static_cast<uint8_t>(yuv[i]), c.y) << int{c.colour.r};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(static_cast<uint8_t>(yuv[9 + i]), c.cb) << int{c.colour.r};
      EXPECT_EQ(static_cast<uint8_t>(yuv[13 + i]), c.cr) << int{c.colour.r};
    }
  }
  // Red columns 0 ... 3, blue from 4: the chroma beside column 4 takes a
  // quarter of column 3's red ([1 2 1] across, centred on the column), and
  // the one beside column 2 none of the blue.
  const std::string edge = yuv420(painted(8, 2, [](unsigned x, unsigned) {
    return x < 4 ? rgb{255, 0, 0} : rgb{0, 0, 255};
  }));
  const auto cr = [&](int c) { return static_cast<uint8_t>(edge[16 + 4 + c]); };
  EXPECT_EQ(cr(1), 240);
  EXPECT_NEAR(cr(2), (240 + 3 * 118) / 4.0, 1);
  EXPECT_EQ(cr(3), 118);
}

TEST(Picture, ComesUprightFromTheFramesOwnDecodeAndLeavesTheFrameAsItWas) {
  // Upright 1600 x 1200: red top left, green top right, blue below; stored
  // turned a quarter (orientation 6) as a camera would.
  tempdir dir;
  const unsigned w = 1600, h = 1200;
  const pixels upright = painted(w, h, [&](unsigned x, unsigned y) {
    return y >= h / 2 ? rgb{30, 40, 210} : x < w / 2 ? rgb{220, 30, 30} : rgb{40, 200, 60};
  });
  std::vector<unsigned char> stored(upright.data.size());
  turnpixels(upright.data.data(), w, h, 3, 8, false, stored.data());
  ASSERT_TRUE(writepicture(dir / "still.jpg", h, w, [&](unsigned x, unsigned y) {
    const unsigned char* p = &stored[(size_t{y} * h + x) * 3];
    return rgb{p[0], p[1], p[2]};
  }));
  const std::string jpeg = withorientation(readfile(dir / "still.jpg"), 6);
  picturewish wish;
  wish.framewidth = 1920, wish.frameheight = 1080;
  for (const bool fit : {false, true}) {
    SCOPED_TRACE(fit ? "fitted frames" : "stretched frames");
    const auto make = fit ? makefitframe : makeframe;
    const slideresult plain = make("DSC0001.JPG", jpeg.data(), jpeg.size(), {});
    const slideresult r = make("DSC0001.JPG", jpeg.data(), jpeg.size(), wish);
    ASSERT_EQ(r.state, slidestate::framed) << r.reason;
    EXPECT_EQ(r.picturewidth, 1440u);
    EXPECT_EQ(r.pictureheight, 1080u);
    ASSERT_EQ(r.picture.size(), 1440u * 1080 * 3 / 2);
    EXPECT_EQ(plain.picture, "") << "no picture unless asked";
    if (!fit) {
      EXPECT_EQ(r.jpeg, plain.jpeg) << "the stretched frame is the same, byte for byte";
    }
    // Luma in the middle of each part: red 76, green 150, blue 59 (BT.709).
    const auto luma = [&](unsigned x, unsigned y) { return static_cast<uint8_t>(r.picture[size_t{y} * 1440 + x]); };
    EXPECT_NEAR(luma(360, 270), 76, 4);
    EXPECT_NEAR(luma(1080, 270), 150, 4);
    EXPECT_NEAR(luma(720, 810), 59, 4);
  }
}

}  // namespace
