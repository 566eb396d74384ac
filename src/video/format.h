// What every room of the render shares: the video's format (the size of
// its pictures, their shape on screen, how their colours are written, and
// its sound's rate), pictures of that format, and the one conversion from
// the layout the render composes in to the layout the encoder takes.
//
// Everything the render makes of its own (a decoded kit frame, the title
// card, the sparks, each transition's pictures, the ending's fade) is
// composed in composepixels: 4:4:4, the only planar YUV layout the xfade
// filter works in, so that no filter converts anything behind the render's
// back. tostream() then brings each picture to streampixels (4:2:0) just
// before the encoder, in the same matrix and range, so that only the
// chroma's resolution changes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/frame.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

struct SwsContext;

// A video's pictures: what the encoders are told and every picture is tagged with.
struct frameformat {
  int width, height;
  AVRational aspect;  // of one sample (a pixel) on screen
  AVColorSpace matrix;
  AVColorPrimaries primaries;
  AVColorTransferCharacteristic transfer;
  AVColorRange range;
};

// 720 x 576, shown at 4:3, in BT.601's matrix and primaries for 625 lines
// (the media library's "bt470bg"), limited range. The transfer is
// BT.601's own (smpte170m, the same curve as BT.709's), not BT.470's
// "assumed display gamma 2.8" (bt470bg): that was a nominal figure for the
// receivers of its day, not how PAL is made, and a player that manages
// colour would show gamma 2.8 visibly darker than the photos are.
extern const frameformat palformat;

// The format of each size (base/frame.h): PAL's, or an HD frame of square
// pixels in BT.709's matrix, primaries and transfer, limited range, as HD
// video is made.
frameformat formatof(videosize size);

constexpr AVPixelFormat composepixels = AV_PIX_FMT_YUV444P;
constexpr AVPixelFormat streampixels = AV_PIX_FMT_YUV420P;

// The sound: 48 kHz (a DVD's), stereo.
constexpr int soundrate = 48000, soundchannels = 2;

struct framefree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using frameptr = std::unique_ptr<AVFrame, framefree>;

// Says the format of what `to` holds (a picture, AVFrame, or an encoder's,
// AVCodecContext): its size, its pixels' shape and its colours.
template <typename T>
void tagformat(T* to, const frameformat& format) {
  to->width = format.width;
  to->height = format.height;
  to->sample_aspect_ratio = format.aspect;
  to->colorspace = format.matrix;
  to->color_primaries = format.primaries;
  to->color_trc = format.transfer;
  to->color_range = format.range;
}

// A new picture of the format in that layout, tagged with the format;
// black with black, null without memory.
frameptr newpicture(const frameformat& format, AVPixelFormat pixels);
frameptr blackpicture(const frameformat& format, AVPixelFormat pixels);

// Pictures of one format and layout, each used again once no one else
// holds it (the encoder copies what it is given): a moving show draws a
// new picture every frame, and a new one would cost the clearing and the
// mapping of fresh memory every time.
class picturepool {
 public:
  picturepool(const frameformat& format, AVPixelFormat pixels) : format_(format), pixels_(pixels) {}
  // A picture no one else holds, as its last user left it (black where
  // new); null without memory.
  frameptr take();

 private:
  frameformat format_;
  AVPixelFormat pixels_;
  std::vector<frameptr> pictures_;
};

// Makes black whatever of the picture lies outside the box at left, top,
// width x height (left and top even, where the chroma is subsampled); an
// empty box, all of it.
void blackenoutside(AVFrame* picture, int left, int top, int width, int height, const frameformat& format);

// The levels of black and of white in the format's range, and the middle of
// its chroma.
int blacklevel(const frameformat& format);
int whitelevel(const frameformat& format);
constexpr int chromazero = 128;

// The picture brought toward black: gain 1 leaves it, 0 makes it black.
void fadetoblack(AVFrame* picture, double gain, const frameformat& format);

// The conversion of composed pictures (composepixels) to the stream's
// (streampixels), the same for every picture of a render.
class streamconverter {
 public:
  explicit streamconverter(const frameformat& format);
  ~streamconverter();
  streamconverter(const streamconverter&) = delete;
  streamconverter& operator=(const streamconverter&) = delete;
  // Null, with *why, without memory or where the picture is not composed.
  frameptr tostream(const AVFrame* composed, std::string* why);

 private:
  frameformat format_;
  SwsContext* sws_ = nullptr;
};

// The media library's words for an error code.
std::string averror(int code);
