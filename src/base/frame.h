// The frames of the show, in one place: the kit's frame, the PAL frame the
// script and outhuffy.avi are made in, 720 x 576 shown at 4:3 (each pixel
// 16:15 as wide as high) at 25 frames a second; and the sizes a video may
// take besides, 16:9 with square pixels.
#pragma once

#include <string_view>

constexpr unsigned framewidth = 720;
constexpr unsigned frameheight = 576;
constexpr int framerate = 25;  // frames a second, every size
// The PAL frame's pixel: 16 / 15 as wide as it is high.
constexpr int pixelaspectx = 16, pixelaspecty = 15;

// The sizes of a video (--size).
enum class videosize { pal, hd720, hd1080, hd2160 };

struct framesize {
  unsigned width;
  unsigned height;
  int aspectx, aspecty;  // the pixel's shape
  std::string_view name;
};

// Each size's frame; the PAL frame's is the kit's.
constexpr framesize framesizes[] = {
    {framewidth, frameheight, pixelaspectx, pixelaspecty, "pal"},
    {1280, 720, 1, 1, "720p"},
    {1920, 1080, 1, 1, "1080p"},
    {3840, 2160, 1, 1, "2160p"},
};
constexpr const framesize& frameof(videosize size) { return framesizes[static_cast<int>(size)]; }
