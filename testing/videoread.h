// Videos read back with the media library, for the tests: a video's
// streams, and each frame by the mean colour of the middle of each of
// 4 x 3 blocks (the blocks the tests' pattern stills paint), or whole.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

constexpr unsigned signaturecolumns = 4, signaturerows = 3;
using blocksignature = std::array<double, signaturecolumns * signaturerows * 3>;

// The root mean square of the difference of two, in levels.
double blockdistance(const blocksignature& a, const blocksignature& b);

// What a video file holds.
struct videofile {
  std::string error;
  std::string videocodec, audiocodec, format;
  int width = 0, height = 0;
  // The colour tags, by the media library's names ("bt470bg", "tv" ...).
  std::string matrix, primaries, transfer, range;
  AVRational sar{0, 1}, fps{0, 1};
  int64_t bitrate = 0, maxrate = 0;
  double videoseconds = 0, audioseconds = 0;
  int audiorate = 0, audiochannels = 0;
  double audiolevel = 0;  // the mean absolute sample, 0 ... 1
  std::vector<blocksignature> frames;
  int gop = 0;  // the longest run from one key frame to the next
};

// Each frame, as 720 x 576 RGB (3 bytes a pixel, rows top down), or at the
// video's own size where native, goes to eachframe too, where there is one.
videofile readvideo(const std::string& path, const std::function<void(const unsigned char* rgb)>& eachframe = nullptr,
                    bool native = false);
