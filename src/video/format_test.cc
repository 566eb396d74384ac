// Pictures of the video's format (format.h): a pooled picture is never
// handed out while someone holds it, and the black around a box.
#include "video/format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PicturePool, APictureIsUsedAgainOnlyOnceNoOneHoldsIt) {
  const frameformat format = formatof(videosize::hd720);
  picturepool pool(format, streampixels);
  frameptr a = pool.take(), b = pool.take();
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->data[0], b->data[0]);
  // On its way to the encoder, a picture stays someone's.
  frameptr queued(av_frame_clone(a.get()));
  const uint8_t* held = a->data[0];
  a.reset();
  frameptr c = pool.take();
  EXPECT_NE(c->data[0], held);
  EXPECT_NE(c->data[0], b->data[0]);
  queued.reset();
  frameptr d = pool.take();
  EXPECT_EQ(d->data[0], held);
}

TEST(PicturePool, BlackOutsideTheBoxAndTheBoxLeftAsItIs) {
  const frameformat format = formatof(videosize::hd720);
  for (AVPixelFormat pixels : {streampixels, composepixels}) {
    frameptr f = newpicture(format, pixels);
    ASSERT_TRUE(f);
    for (int p = 0; p < 3; ++p)
      for (int y = 0; y < (p && pixels == streampixels ? 360 : 720); ++y)
        std::memset(f->data[p] + y * f->linesize[p], 200, p && pixels == streampixels ? 640 : 1280);
    // An odd-sized box on even rows and columns, as a portrait photo has.
    const int left = 300, top = 10, width = 541, height = 699;
    blackenoutside(f.get(), left, top, width, height, format);
    for (int p = 0; p < 3; ++p) {
      const int sub = p && pixels == streampixels ? 1 : 0, black = p ? chromazero : blacklevel(format);
      const int x0 = left >> sub, y0 = top >> sub, x1 = (left + width + sub) >> sub, y1 = (top + height + sub) >> sub;
      for (int y = 0; y < 720 >> sub; ++y)
        for (int x = 0; x < 1280 >> sub; ++x) {
          const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
          ASSERT_EQ(f->data[p][y * f->linesize[p] + x], inside ? 200 : black)
              << "plane " << p << " at " << x << ", " << y << " in layout " << pixels;
        }
    }
  }
}

}  // namespace
