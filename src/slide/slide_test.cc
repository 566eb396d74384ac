#include "slide/slide.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <filesystem>
#include <sstream>

#include "fixtures.h"
#include "slide/image.h"
#include "slide/orientation.h"
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
      {3000, 4000, 480}, {2000, 3000, 426}, {1000, 1001, 639}, {9, 16, 360},
      // The rounded first quotient leaves these one short of the exact width.
      {1500, 1600, 599}, {2700, 4000, 431}, {27, 640, 26}, {633, 640, 632},
      // ... and leaves their neighbours whole.
      {26, 640, 26}, {634, 640, 634}, {601, 640, 601},
      // Large sizes: the product needs more than 32 bits.
      {65535, 65536, 639}, {4000000000u, 4000000001u, 639}, {3000000000u, 4000000000u, 480},
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

TEST(SlideName, PadsToFourDigits) {
  EXPECT_EQ(slidename(1), "out0001.jpg");
  EXPECT_EQ(slidename(42), "out0042.jpg");
  EXPECT_EQ(slidename(9999), "out9999.jpg");
  EXPECT_EQ(slidename(10000), "out10000.jpg");
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
  const size_t data = scan + 2 + (static_cast<unsigned char>(jpeg[scan + 2]) << 8 | static_cast<unsigned char>(jpeg[scan + 3]));
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

}  // namespace
