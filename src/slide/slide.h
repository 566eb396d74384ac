// src/slide/ (this folder): one still to one frame (slide.h), run inside a
// sandboxed worker: the only code that calls the image library (image.h),
// the JPEG library (jpeg.h) and libexif (orientation.h), the resampling
// filter of fitted frames (resample.h), and the pictures an HD video is
// made of (picture.h). Nothing here opens or writes a file.
//
// One camera still to one frame: the image work of a slide. makeframe loads
// the still from its bytes, brings it upright to the 720 x 576 frame and
// encodes the frame as a JPEG. It runs inside a worker process, under its
// sandbox, since a crafted still can crash the image library: nothing in
// this module opens or writes a file. What becomes of the frame (its
// number, its file, the script's clip line) is the driver's business.
//
// A portrait still (taller than wide) is scaled to portraitwidth() x 576 and
// centred on black; anything else is stretched to 720 x 576.
//
// makefitframe frames the still in its true shape instead: the whole
// upright picture at fitpicture()'s size, centred on black, reduced by an
// antialiasing filter (resample.h), from a reduced decode (jpeg.h) where
// the still is a JPEG large enough for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/frame.h"

// What the image library may hold at once for one still (image.h's
// budget): a 100-megapixel photo fits.
constexpr size_t librarybudget = size_t{1} << 30;

// The most bytes a frame's JPEG may take: a 720 x 576 frame stays far below
// it even at the library's near-lossless default quality. The worker's
// encoder and the driver's check of what a worker sends both use it.
constexpr size_t framelimit = size_t{4} << 20;

// The width a portrait still gets: 640 / (height / width), each division
// rounded to a 64-bit significand (as x87 extended precision does), then
// truncated, and never below 1 so that the library is not asked for an
// empty image. The same on every machine: it is computed in integers.
unsigned portraitwidth(unsigned width, unsigned height);

// The size of the picture in a fitted frame, for an upright photo of
// width x height. The frame shows a 4:3 screen in 720 x 576 pixels (each
// 16:15 as wide as high), so with a = width / height the picture is
// 720 x round(576 * (4/3) / a) where a >= 4/3, and round(540 * a) x 576
// otherwise; never 0 wide or high. Computed in integers.
struct picturesize {
  unsigned width;
  unsigned height;
};
picturesize fitpicture(unsigned width, unsigned height);

// Whether bytes are one whole JPEG as far as its ends tell: its start
// marker first, its end marker last. The worker's encoder and the driver's
// check of what a worker sends both hold a frame to it.
bool wholejpeg(const char* jpeg, size_t size);

enum class slidestate : uint32_t { framed, unloadable, toolarge, unscalable, unencodable };

// What a video wants of each still besides its kit frame: the photo's
// picture for its frame (picture.h). In a frame of its own size (--size
// 720p ...) the picture is the whole photo in its true shape at its box in
// the frame; in the kit's PAL frame it is where the kit's frame puts it
// (stretched, or fitted for --fit), for a picture that moves. It is
// `margin` times as large each way (1 for a picture that stays still; more
// for one that moves, so that it never shows more than the photo's own
// detail), in BT.709's matrix (HD) or BT.601's (PAL). A frame of 0 x 0: no
// picture.
struct picturewish {
  unsigned framewidth = 0, frameheight = 0;
  enum class place { whole, kitstretched, kitfitted } box = place::whole;
  double margin = 1;
  bool bt709 = true;
};

// The size of the picture wish asks for, of an upright photo of width x
// height: its box (picture.h's boxof, or the kit frame's picture), times
// the margin.
picturesize wishedpicture(unsigned width, unsigned height, const picturewish& wish);

// The most bytes a picture may take: 2160p's frame, half as large again
// each way, as YUV 4:2:0. The worker's maker and the driver's check of what
// a worker sends both use it.
constexpr size_t picturelimit = size_t{3840 * 3 / 2} * (2160 * 3 / 2) * 3 / 2;

// What became of one still.
struct slideresult {
  slidestate state = slidestate::unloadable;
  unsigned width = 0;  // as loaded; for toolarge, as the still claims
  unsigned height = 0;
  std::string reason;  // why not, in plain words
  std::string jpeg;    // the frame, when framed
  // The picture a wish asked for, when framed (picture.h): planar YUV 4:2:0.
  unsigned picturewidth = 0, pictureheight = 0;
  std::string picture;
};

// The image work for the still `name` (the name picks the loader, as for a
// file) whose bytes are data[0, size), and the picture `wish` asks for, from
// the same decode.
slideresult makeframe(const char* name, const void* data, size_t size, const picturewish& wish = {});

// The same for a fitted frame (see above). Loading, its failures and the
// sizes reported are as makeframe's.
slideresult makefitframe(const char* name, const void* data, size_t size, const picturewish& wish = {});
