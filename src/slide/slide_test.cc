#include "slide/slide.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "fixtures.h"
#include "slide/image.h"
#include "slide/orientation.h"
#include "slide/resample.h"
#include "testdir.h"

namespace {

const rgb red{220, 30, 30}, blue{30, 40, 210}, green{40, 200, 60}, black{0, 0, 0};

// The library's memory hooks go in before anything in this process (the
// test pictures included) initialises it.
const bool libraryready = (initimagelibrary(), true);

TEST(PortraitWidth, RoundsLikeExtendedPrecision) {
  const struct {
    unsigned width, height, expected;
  } cases[] = {
      {3000, 4000, 480},
      {2000, 3000, 426},
      {1000, 1001, 639},
      {9, 16, 360},
      // The rounded first quotient leaves these one short of the exact width.
      {1500, 1600, 599},
      {2700, 4000, 431},
      {27, 640, 26},
      {633, 640, 632},
      // ... and leaves their neighbours whole.
      {26, 640, 26},
      {634, 640, 634},
      {601, 640, 601},
      // Large sizes: the product needs more than 32 bits.
      {65535, 65536, 639},
      {4000000000u, 4000000001u, 639},
      {3000000000u, 4000000000u, 480},
  };
  for (const auto& c : cases) EXPECT_EQ(portraitwidth(c.width, c.height), c.expected) << c.width << " x " << c.height;
}

TEST(PortraitWidth, IsTheExtendedPrecisionQuotientForEveryPairUpTo3000) {
  if (LDBL_MANT_DIG != 64) GTEST_SKIP() << "long double here is not x87 extended precision";
  for (unsigned h = 2; h <= 3000; ++h)
    for (unsigned w = 1; w < h; ++w) {
      const long double x87 = 640.0L / (static_cast<long double>(h) / static_cast<long double>(w));
      const unsigned expected = x87 < 1.0L ? 1u : static_cast<unsigned>(x87);
      if (portraitwidth(w, h) != expected) {
        ADD_FAILURE() << w << " x " << h << ": " << portraitwidth(w, h) << ", not " << expected;
        return;
      }
    }
}

TEST(PortraitWidth, NeverAsksForAnEmptyImage) {
  EXPECT_EQ(portraitwidth(1, 640), 1u);
  EXPECT_EQ(portraitwidth(1, 641), 1u);
  EXPECT_EQ(portraitwidth(1, 100000), 1u);
  EXPECT_EQ(portraitwidth(0, 10), 1u);
}

TEST(FitPicture, KeepsTheTrueShapeOnAFourByThreeScreen) {
  const struct {
    unsigned width, height, expectedwidth, expectedheight;
  } cases[] = {
      {4000, 3000, 720, 576},
      {6000, 4000, 720, 512},
      {1920, 1080, 720, 432},
      {3000, 4000, 405, 576},
      {1080, 1920, 304, 576},
      {4608, 1976, 720, 329},
      {100, 68, 720, 522},
      {1000, 1000, 540, 576},
      // A panorama, a sliver each way, and what rounds to nothing.
      {12000, 1000, 720, 64},
      {1, 1000, 1, 576},
      {1000, 1, 720, 1},
      {1, 1, 540, 576},
      {100000, 1, 720, 1},
      // Just either side of 4:3, and sizes whose products need 64 bits.
      {1334, 1000, 720, 576},
      {1333, 1000, 720, 576},
      {4000000000u, 3000000000u, 720, 576},
      {3000000000u, 4000000000u, 405, 576},
      {0, 0, 540, 576},
  };
  for (const auto& c : cases) {
    const picturesize p = fitpicture(c.width, c.height);
    EXPECT_EQ(p.width, c.expectedwidth) << c.width << " x " << c.height;
    EXPECT_EQ(p.height, c.expectedheight) << c.width << " x " << c.height;
  }
}

TEST(Orientation, TurnsEveryWayByMovingPixels) {
  // Stored 3 x 2, one byte a pixel:  a b c
  //                                  d e f
  const std::string stored = "abcdef";
  const char* upright[] = {"", "abcdef", "cbafed", "fedcba", "defabc", "adbecf", "daebfc", "fcebda", "cfbead"};
  for (int o = 1; o <= 8; ++o) {
    std::string out(6, '?'), flipped(6, '?');
    turnpixels(reinterpret_cast<const unsigned char*>(stored.data()), 3, 2, 1, o, false,
               reinterpret_cast<unsigned char*>(out.data()));
    EXPECT_EQ(out, upright[o]) << o;
    // Rows stored bottom to top: the same picture, its rows the other way.
    const std::string bottomup = "defabc";
    turnpixels(reinterpret_cast<const unsigned char*>(bottomup.data()), 3, 2, 1, o, true,
               reinterpret_cast<unsigned char*>(flipped.data()));
    const size_t w = turnsacross(o) ? 2 : 3;
    EXPECT_EQ(flipped.substr(6 - w) + flipped.substr(w, 6 - 2 * w) + flipped.substr(0, w), out) << o;
  }
}

TEST(Orientation, ReadsTheTagAndIgnoresAnythingElse) {
  tempdir dir;
  ASSERT_TRUE(writehalves(dir / "still.jpg", 40, 30, red, blue));
  const std::string jpeg = readfile(dir / "still.jpg");
  for (int o = 1; o <= 8; ++o) {
    const std::string tagged = withorientation(jpeg, o);
    EXPECT_EQ(exiforientation(tagged.data(), tagged.size()), o);
  }
  std::string broken = withorientation(jpeg, 6);
  broken[12] = 'X';  // not a TIFF header any more
  for (const std::string& s : {jpeg, withorientation(jpeg, 0), withorientation(jpeg, 9), withorientation(jpeg, 0x0600),
                               broken, std::string("Exif"), std::string()})
    EXPECT_EQ(exiforientation(s.data(), s.size()), 1);
}

TEST(Frame, AFrameOverItsBoundIsRefusedBeforeItGrowsPastIt) {
  // Noise compresses badly: this frame takes far more than 2 KiB.
  tempdir dir;
  ASSERT_TRUE(writepicture(dir / "noise.png", 160, 120, [](unsigned x, unsigned y) {
    const unsigned v = (x * 2654435761u) ^ (y * 40503u) ^ (x * y * 97u);
    return rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  }));
  const std::string png = readfile(dir / "noise.png");
  std::string reason, jpeg;
  ASSERT_EQ(loadimage("noise.png", png.data(), png.size(), &reason), loadstatus::loaded) << reason;
  EXPECT_FALSE(encodejpeg(2048, &jpeg, &reason));
  EXPECT_LE(jpeg.size(), 2048u);
  EXPECT_EQ(reason.rfind("the frame takes more than", 0), 0u) << reason;
  ASSERT_TRUE(encodejpeg(framelimit, &jpeg, &reason)) << reason;
  EXPECT_GT(jpeg.size(), 2048u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
  EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
}

// A JPEG of noise with a run of bytes in the middle of its entropy-coded
// data replaced by codes no Huffman table has: the decoder warns, goes on,
// and the picture loads.
std::string withbadhuffmancode(std::string jpeg) {
  const size_t scan = jpeg.find("\xff\xda");
  const size_t data =
      scan + 2 + (static_cast<unsigned char>(jpeg[scan + 2]) << 8 | static_cast<unsigned char>(jpeg[scan + 3]));
  for (size_t i = 0; i < 16; ++i) jpeg[data + (jpeg.size() - data) / 2 + i] = '\xfe';
  return jpeg;
}

TEST(Frame, WhatTheLibraryDecodesAndEncodesIsAFrame) {
  tempdir dir;
  // The library passes the length of what it saved through 8 bits: a frame
  // of a multiple of 256 bytes must come out a frame all the same. Stills
  // of two colours in proportions of their own give frames of every length.
  bool multiple = false;
  for (unsigned split = 1; split < 2000 && !multiple; ++split) {
    const std::string path = dir / "still.png";
    ASSERT_TRUE(writepicture(path, 40, 30, [&](unsigned x, unsigned y) {
      return (y * 40 + x) * 7 % 2000 < split ? red : rgb{uint8_t(x * 6), uint8_t(y * 8), uint8_t(split)};
    }));
    const std::string png = readfile(path);
    const slideresult r = makeframe("DSC0001.JPG.png", png.data(), png.size());
    ASSERT_EQ(r.state, slidestate::framed) << split << ": " << r.reason;
    multiple = r.jpeg.size() % 256 == 0;
  }
  EXPECT_TRUE(multiple) << "no frame of a multiple of 256 bytes was made";

  // A decoder's warning is no failure.
  ASSERT_TRUE(writepicture(dir / "noise.jpg", 160, 120, [](unsigned x, unsigned y) {
    const unsigned v = (x * 2654435761u) ^ (y * 40503u);
    return rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  }));
  const std::string warned = withbadhuffmancode(readfile(dir / "noise.jpg"));
  const slideresult r = makeframe("DSC0002.JPG", warned.data(), warned.size());
  EXPECT_EQ(r.state, slidestate::framed) << r.reason;
}

// The bounds of what is not black across the middle of a frame: the fitted picture.
struct bounds {
  unsigned left = 720, top = 576, right = 0, bottom = 0;  // right and bottom one past
};
bounds picturebounds(const picture& f) {
  bounds b;
  for (unsigned x = 0; x < f.width; ++x)
    if (!near(f.at(x, f.height / 2), black, 40)) b.left = std::min(b.left, x), b.right = std::max(b.right, x + 1);
  const unsigned middle = b.right > b.left ? (b.left + b.right) / 2 : f.width / 2;
  for (unsigned y = 0; y < f.height; ++y)
    if (!near(f.at(middle, y), black, 40)) b.top = std::min(b.top, y), b.bottom = std::max(b.bottom, y + 1);
  return b;
}

picture framepicture(const std::string& jpeg) {
  tempdir dir;
  writefile(dir / "frame.jpg", jpeg);
  return readpicture(dir / "frame.jpg");
}

// The stretched frame (makeframe) of a JPEG still of two halves, as large
// as the still claims.
picture stretched(unsigned w, unsigned h, rgb top, rgb bottom) {
  tempdir dir;
  EXPECT_TRUE(writehalves(dir / "DSC0001.JPG", w, h, top, bottom));
  const std::string bytes = readfile(dir / "DSC0001.JPG");
  const slideresult made = makeframe("DSC0001.JPG", bytes.data(), bytes.size());
  EXPECT_EQ(made.state, slidestate::framed) << made.reason;
  EXPECT_EQ(made.width, w);
  EXPECT_EQ(made.height, h);
  return framepicture(made.jpeg);
}

TEST(StretchedFrame, LandscapeAndSquareStillsFillTheFrameUpright) {
  const picture first = stretched(400, 300, red, blue);
  ASSERT_EQ(first.width, 720u);
  ASSERT_EQ(first.height, 576u);
  // Corners to corners: nothing cropped, nothing flipped, no bars.
  EXPECT_TRUE(near(first.at(2, 2), red));
  EXPECT_TRUE(near(first.at(717, 2), red));
  EXPECT_TRUE(near(first.at(2, 573), blue));
  EXPECT_TRUE(near(first.at(717, 573), blue));

  const picture second = stretched(100, 100, green, green);
  ASSERT_EQ(second.width, 720u);
  ASSERT_EQ(second.height, 576u);
  EXPECT_TRUE(near(second.at(2, 2), green));
  EXPECT_TRUE(near(second.at(717, 573), green));
}

TEST(StretchedFrame, PortraitStillsAreCentredBetweenBlackBars) {
  const picture frame = stretched(300, 400, red, blue);  // 480 wide in the frame: bars of 120
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

TEST(StretchedFrame, AVeryTallStillBecomesAThinColumn) {
  const picture frame = stretched(2, 1400, green, green);  // 640 / 700 rounds down to 0 without the floor
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
  return "BM" + u32(offset + size) + u32(0) + u32(offset) + u32(40) + u32(w) + u32(h) + u16(1) + u16(8) + u32(0) +
         u32(size) + u32(2835) + u32(2835) + u32(256) + u32(0) + palette + pixels;
}

TEST(StretchedFrame, PalettePicturesAreScaledByColour) {
  const std::string bmp = palettebmp(30, 40);
  const slideresult made = makeframe("DSC0001.JPG.bmp", bmp.data(), bmp.size());
  ASSERT_EQ(made.state, slidestate::framed) << made.reason;
  const picture frame = framepicture(made.jpeg);
  ASSERT_EQ(frame.width, 720u);
  EXPECT_TRUE(near(frame.at(360, 288), red, 40));
  EXPECT_TRUE(near(frame.at(5, 288), black));
}

TEST(FitFrame, EveryOrientationShowsTheWholeUprightPictureInItsTrueShape) {
  // Upright: red top left, green top right, blue below. Stored as each
  // orientation leaves it, small (decoded whole) and large (decoded reduced;
  // the turns and one mirror of each kind, which is slower).
  tempdir dir;
  for (const unsigned w : {300u, 1560u})
    for (int o = 1; o <= 8; ++o) {
      if (w > 300 && (o == 3 || o == 5 || o == 7)) continue;
      const unsigned h = w * 2 / 3;
      pixels upright;
      upright.width = w, upright.height = h, upright.channels = 3;
      for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
          const rgb c = y >= h / 2 ? blue : x < w / 2 ? red : green;
          upright.data.insert(upright.data.end(), {c.r, c.g, c.b});
        }
      // Orientations 6 and 8 undo each other; the others undo themselves.
      const bool across = turnsacross(o);
      std::vector<unsigned char> stored(upright.data.size());
      turnpixels(upright.data.data(), w, h, 3, o == 6 ? 8 : o == 8 ? 6 : o, false, stored.data());
      const std::string path = dir / "still.jpg";
      ASSERT_TRUE(writepicture(path, across ? h : w, across ? w : h, [&](unsigned x, unsigned y) {
        const unsigned char* p = &stored[(size_t{y} * (across ? h : w) + x) * 3];
        return rgb{p[0], p[1], p[2]};
      }));
      const std::string jpeg = withorientation(readfile(path), o);
      const slideresult r = makefitframe("DSC0001.JPG", jpeg.data(), jpeg.size());
      ASSERT_EQ(r.state, slidestate::framed) << o << ": " << r.reason;
      EXPECT_EQ(r.width, w) << o;  // upright, as the log shows it
      const picture f = framepicture(r.jpeg);
      ASSERT_EQ(f.width, 720u);
      ASSERT_EQ(f.height, 576u);
      // 3:2 on the 4:3 screen: 720 x 512, 32 rows of black above and below.
      const bounds b = picturebounds(f);
      EXPECT_EQ(b.left, 0u) << o;
      EXPECT_EQ(b.right, 720u) << o;
      EXPECT_NEAR(b.top, 32, 1) << o;
      EXPECT_NEAR(b.bottom, 544, 1) << o;
      EXPECT_TRUE(near(f.at(180, 160), red)) << o << ", " << w;
      EXPECT_TRUE(near(f.at(540, 160), green)) << o << ", " << w;
      EXPECT_TRUE(near(f.at(360, 420), blue)) << o << ", " << w;
    }
}

TEST(FitFrame, APortraitAndASliverArePillarboxed) {
  tempdir dir;
  const struct { unsigned width, height, left, right; } cases[] = {{1500, 2000, 157, 562}, {1, 1000, 359, 360}};
  for (const auto& c : cases) {
    ASSERT_TRUE(writehalves(dir / "still.jpg", c.width, c.height, green, green));
    const std::string jpeg = readfile(dir / "still.jpg");
    const slideresult r = makefitframe("DSC0001.JPG", jpeg.data(), jpeg.size());
    ASSERT_EQ(r.state, slidestate::framed) << r.reason;
    const bounds b = picturebounds(framepicture(r.jpeg));
    EXPECT_NEAR(b.left, c.left, 1) << c.width;
    EXPECT_NEAR(b.right, c.right, 1) << c.width;
    EXPECT_EQ(b.top, 0u);
    EXPECT_EQ(b.bottom, 576u);
  }
}

// A zone plate: rings whose frequency grows from nothing at the centre to
// the still's Nyquist limit in its corners, grey 128 +- 100.
constexpr double platewidth = 6000, plateheight = 4000, platereach = 3605.55;  // half the diagonal
double zoneplate(double x, double y) {
  const double dx = x - platewidth / 2, dy = y - plateheight / 2;
  return 128 + 100 * std::cos(3.14159265358979 * (dx * dx + dy * dy) / (2 * platereach));
}

// The error of the frame's picture, at (left, top) and width x height,
// against the plate reduced ideally to that size: each pixel the plate's
// value at its centre where the rings are coarse enough for the picture to
// show, in both directions, and plain grey where they are not. In dB.
double zoneplatepsnr(const picture& f, unsigned left, unsigned top, unsigned width, unsigned height) {
  double squares = 0;
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x) {
      const double sx = (x + 0.5) * platewidth / width, sy = (y + 0.5) * plateheight / height;
      // The rings' local frequency, in cycles per still pixel, against
      // half the picture's pixels per still pixel.
      const bool shown = std::fabs(sx - platewidth / 2) / (2 * platereach) < 0.5 * width / platewidth &&
                         std::fabs(sy - plateheight / 2) / (2 * platereach) < 0.5 * height / plateheight;
      const double ideal = shown ? zoneplate(sx, sy) : 128;
      const double d = f.at(left + x, top + y).g - ideal;
      squares += d * d;
    }
  return 10 * std::log10(255.0 * 255.0 / (squares / (static_cast<double>(width) * height)));
}

TEST(FitFrame, AZonePlateShowsNoFalseRings) {
  tempdir dir;
  ASSERT_TRUE(writepicture(dir / "plate.jpg", static_cast<unsigned>(platewidth), static_cast<unsigned>(plateheight),
                           [](unsigned x, unsigned y) {
                             const auto v = static_cast<unsigned char>(std::lround(zoneplate(x + 0.5, y + 0.5)));
                             return rgb{v, v, v};
                           }));
  const std::string jpeg = readfile(dir / "plate.jpg");
  const slideresult fit = makefitframe("DSC0001.JPG", jpeg.data(), jpeg.size());
  ASSERT_EQ(fit.state, slidestate::framed) << fit.reason;
  const double fitted = zoneplatepsnr(framepicture(fit.jpeg), 0, 32, 720, 512);
  // The stretched frame, by the same measure, is what the filter is for.
  const slideresult stretched = makeframe("DSC0001.JPG", jpeg.data(), jpeg.size());
  ASSERT_EQ(stretched.state, slidestate::framed) << stretched.reason;
  const double plain = zoneplatepsnr(framepicture(stretched.jpeg), 0, 0, 720, 576);
  EXPECT_GE(fitted, 30) << "stretched: " << plain;
  EXPECT_LT(plain, 15);
  std::cout << "zone plate " << platewidth << " x " << plateheight << ": fitted " << fitted << " dB, stretched "
            << plain << " dB\n";
}

}  // namespace
