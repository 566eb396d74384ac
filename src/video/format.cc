#include "video/format.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

const frameformat palformat = {
    720, 576, {16, 15}, AVCOL_SPC_BT470BG, AVCOL_PRI_BT470BG, AVCOL_TRC_SMPTE170M, AVCOL_RANGE_MPEG,
};

frameformat formatof(videosize size) {
  if (size == videosize::pal) return palformat;
  const framesize& frame = frameof(size);
  return {static_cast<int>(frame.width),
          static_cast<int>(frame.height),
          {frame.aspectx, frame.aspecty},
          AVCOL_SPC_BT709,
          AVCOL_PRI_BT709,
          AVCOL_TRC_BT709,
          AVCOL_RANGE_MPEG};
}

namespace {

// The width and height of plane p of a picture in its layout.
int planewidth(const AVFrame* f, int p) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  return p == 0 ? f->width : AV_CEIL_RSHIFT(f->width, d->log2_chroma_w);
}
int planeheight(const AVFrame* f, int p) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
  return p == 0 ? f->height : AV_CEIL_RSHIFT(f->height, d->log2_chroma_h);
}

}  // namespace

int blacklevel(const frameformat& format) { return format.range == AVCOL_RANGE_JPEG ? 0 : 16; }
int whitelevel(const frameformat& format) { return format.range == AVCOL_RANGE_JPEG ? 255 : 235; }

frameptr newpicture(const frameformat& format, AVPixelFormat pixels) {
  frameptr f(av_frame_alloc());
  if (!f) return nullptr;
  f->format = pixels;
  tagformat(f.get(), format);
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  return f;
}

frameptr blackpicture(const frameformat& format, AVPixelFormat pixels) {
  frameptr f = newpicture(format, pixels);
  if (f) blackenoutside(f.get(), 0, 0, 0, 0, format);
  return f;
}

frameptr picturepool::take() {
  // Enough for the frames on their way to the encoder (the render's queue
  // holds 16 at most) and those being drawn; past that, pictures of their
  // own.
  constexpr size_t most = 20;
  for (const frameptr& f : pictures_) {
    bool free = true;
    for (AVBufferRef* b : f->buf)
      if (b && av_buffer_get_ref_count(b) > 1) free = false;
    if (free) return frameptr(av_frame_clone(f.get()));
  }
  frameptr made = blackpicture(format_, pixels_);
  if (!made || pictures_.size() >= most) return made;
  pictures_.push_back(std::move(made));
  return frameptr(av_frame_clone(pictures_.back().get()));
}

void blackenoutside(AVFrame* picture, int left, int top, int width, int height, const frameformat& format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  for (int p = 0; p < 3; ++p) {
    const int sx = p == 0 ? 0 : d->log2_chroma_w, sy = p == 0 ? 0 : d->log2_chroma_h;
    const int w = planewidth(picture, p), h = planeheight(picture, p);
    const int x0 = std::min(w, left >> sx), y0 = std::min(h, top >> sy);
    const int x1 = std::min(w, AV_CEIL_RSHIFT(left + width, sx)), y1 = std::min(h, AV_CEIL_RSHIFT(top + height, sy));
    const int black = p == 0 ? blacklevel(format) : chromazero;
    for (int y = 0; y < h; ++y) {
      uint8_t* row = picture->data[p] + static_cast<ptrdiff_t>(y) * picture->linesize[p];
      if (y < y0 || y >= y1) {
        std::memset(row, black, static_cast<size_t>(w));
      } else {
        std::memset(row, black, static_cast<size_t>(x0));
        std::memset(row + x1, black, static_cast<size_t>(w - x1));
      }
    }
  }
}

void fadetoblack(AVFrame* picture, double gain, const frameformat& format) {
  for (int p = 0; p < 3; ++p) {
    const int zero = p == 0 ? blacklevel(format) : chromazero;
    uint8_t faded[256];
    for (int v = 0; v < 256; ++v) faded[v] = static_cast<uint8_t>(zero + std::lround((v - zero) * gain));
    const int w = planewidth(picture, p), h = planeheight(picture, p);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = picture->data[p] + y * picture->linesize[p];
      for (int x = 0; x < w; ++x) row[x] = faded[row[x]];
    }
  }
}

streamconverter::streamconverter(const frameformat& format) : format_(format) {
  // In two halves at once: while a transition is drawn, the encoder waits
  // for its frames.
  sws_ = sws_alloc_context();
  if (!sws_) return;
  av_opt_set_int(sws_, "srcw", format.width, 0);
  av_opt_set_int(sws_, "srch", format.height, 0);
  av_opt_set_int(sws_, "src_format", composepixels, 0);
  av_opt_set_int(sws_, "dstw", format.width, 0);
  av_opt_set_int(sws_, "dsth", format.height, 0);
  av_opt_set_int(sws_, "dst_format", streampixels, 0);
  av_opt_set_int(sws_, "sws_flags", SWS_BICUBIC, 0);
  av_opt_set_int(sws_, "threads", 2, 0);
  if (sws_init_context(sws_, nullptr, nullptr) < 0) {
    sws_freeContext(sws_);
    sws_ = nullptr;
    return;
  }
  // The same matrix and range on both sides: only the chroma is resampled.
  const int* matrix = sws_getCoefficients(format.matrix);
  const int full = format.range == AVCOL_RANGE_JPEG ? 1 : 0;
  sws_setColorspaceDetails(sws_, matrix, full, matrix, full, 0, 1 << 16, 1 << 16);
}

streamconverter::~streamconverter() { sws_freeContext(sws_); }

frameptr streamconverter::tostream(const AVFrame* composed, std::string* why) {
  if (composed->format != composepixels || composed->width != format_.width || composed->height != format_.height) {
    *why = "a picture not composed in the render's format";
    return nullptr;
  }
  frameptr out = newpicture(format_, streampixels);
  if (!sws_ || !out || av_frame_copy_props(out.get(), composed) < 0) return *why = "out of memory", nullptr;
  // The stream's tags whatever a filter left on the picture.
  out->colorspace = format_.matrix;
  out->color_primaries = format_.primaries;
  out->color_trc = format_.transfer;
  out->color_range = format_.range;
  out->sample_aspect_ratio = format_.aspect;
  const int code = sws_scale_frame(sws_, out.get(), composed);
  if (code < 0) return *why = "cannot convert a picture: " + averror(code), nullptr;
  return out;
}

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}
