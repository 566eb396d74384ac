// A photo's picture for a video frame of its own size (--size 720p, 1080p,
// 2160p), made from the still, never from the kit's 720 x 576 frame: the
// whole upright photo in its true shape, reduced (or enlarged) straight to
// its box in the frame by resample.h's filter, as the video holds it:
// planar YUV 4:2:0, limited range, BT.709 (or BT.601 for a PAL frame).
#pragma once

#include <cstdint>
#include <string>

#include "base/frame.h"
#include "slide/resample.h"
#include "slide/slide.h"

// The box of an upright photo of width x height in a frame of square
// pixels: as large as fits, in the photo's shape, each side rounded to the
// nearest pixel and never 0. At 1080p a 4:3 photo is 1440 x 1080, 3:2 is
// 1620 x 1080, 16:9 fills the frame, 3:4 is 810 x 1080, 21:9 is 1920 x 823.
picturesize boxof(unsigned width, unsigned height, unsigned framewidth, unsigned frameheight);

// The bytes of a width x height picture in planar YUV 4:2:0: Y, then Cb,
// then Cr, each chroma plane (width + 1) / 2 x (height + 1) / 2.
constexpr uint64_t yuvbytes(unsigned width, unsigned height) {
  return uint64_t{width} * height + 2 * ((uint64_t{width} + 1) / 2) * ((uint64_t{height} + 1) / 2);
}

// RGB (3 channels) or grey (1) pixels as such a picture, in BT.709's
// matrix (HD's) or BT.601's (PAL's), limited range (Y 16 ... 235, Cb and
// Cr 16 ... 240). Each chroma sample stands where H.264 and MPEG-2 put it:
// beside the even luma column, between two luma rows. The same bytes on
// every machine.
std::string yuv420(const pixels& rgb, bool bt709 = true);
