#include "video/pictures.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>

extern "C" {
#include <ass/ass.h>
#include <libavcodec/avcodec.h>
#include <libavutil/csp.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "script/timeline.h"

const char titlefallbackfont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

namespace {

bool isbt601(AVColorSpace matrix) { return matrix == AVCOL_SPC_BT470BG || matrix == AVCOL_SPC_SMPTE170M; }

// Converts from into to (allocated), from one matrix and range to another.
bool convert(const AVFrame* from, AVColorSpace frommatrix, bool fromfull, AVFrame* to, AVColorSpace tomatrix,
             bool tofull) {
  SwsContext* sws =
      sws_getContext(from->width, from->height, static_cast<AVPixelFormat>(from->format), to->width, to->height,
                     static_cast<AVPixelFormat>(to->format), SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  if (!sws) return false;
  sws_setColorspaceDetails(sws, sws_getCoefficients(frommatrix), fromfull ? 1 : 0, sws_getCoefficients(tomatrix),
                           tofull ? 1 : 0, 0, 1 << 16, 1 << 16);
  sws_scale(sws, from->data, from->linesize, 0, from->height, to->data, to->linesize);
  sws_freeContext(sws);
  return true;
}

}  // namespace

frameptr decodeframe(const std::string& jpeg, const frameformat& format, std::string* why) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* packet = av_packet_alloc();
  frameptr decoded(av_frame_alloc()), out;
  int code = ctx && packet && decoded ? avcodec_open2(ctx, codec, nullptr) : AVERROR(ENOMEM);
  if (code >= 0) code = av_new_packet(packet, static_cast<int>(jpeg.size()));
  if (code >= 0) {
    std::memcpy(packet->data, jpeg.data(), jpeg.size());
    code = avcodec_send_packet(ctx, packet);
    if (code >= 0) code = avcodec_send_packet(ctx, nullptr);
    if (code >= 0) code = avcodec_receive_frame(ctx, decoded.get());
  }
  if (code >= 0) {
    // JPEG's YUV is BT.601's, full range. Where the video's matrix is
    // another, the way is through RGB of 16 bits a channel (swscale
    // changes the range between two YUVs, not the matrix).
    const AVPixelFormat from = static_cast<AVPixelFormat>(decoded->format);
    const bool full = from == AV_PIX_FMT_YUVJ420P || from == AV_PIX_FMT_YUVJ422P || from == AV_PIX_FMT_YUVJ444P ||
                      decoded->color_range == AVCOL_RANGE_JPEG;
    const bool videofull = format.range == AVCOL_RANGE_JPEG;
    out = newpicture(format, composepixels);
    bool done = false;
    if (out && isbt601(format.matrix)) {
      done = convert(decoded.get(), AVCOL_SPC_BT470BG, full, out.get(), format.matrix, videofull);
    } else if (out) {
      frameptr rgb(av_frame_alloc());
      if (rgb) rgb->format = AV_PIX_FMT_RGB48, rgb->width = decoded->width, rgb->height = decoded->height;
      done = rgb && av_frame_get_buffer(rgb.get(), 0) >= 0 &&
             convert(decoded.get(), AVCOL_SPC_BT470BG, full, rgb.get(), AVCOL_SPC_BT470BG, true) &&
             convert(rgb.get(), AVCOL_SPC_RGB, true, out.get(), format.matrix, videofull);
    }
    if (!done) {
      out.reset();
      code = AVERROR(ENOMEM);
    }
  }
  if (code < 0) *why = averror(code);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

frameptr composephoto(const std::string& yuv, int width, int height, const frameformat& format, std::string* why) {
  const int chromawidth = (width + 1) / 2, chromaheight = (height + 1) / 2;
  if (width < 1 || height < 1 || width > format.width || height > format.height ||
      yuv.size() != size_t{1} * width * height + size_t{2} * chromawidth * chromaheight)
    return *why = "a picture that is not its frame's", nullptr;
  frameptr out = blackpicture(format, composepixels);
  SwsContext* sws = out ? sws_getContext(width, height, streampixels, width, height, composepixels,
                                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr)
                        : nullptr;
  if (!sws) return *why = "out of memory", nullptr;
  // The same matrix and range on both sides: only the chroma is brought to
  // every pixel, from where the workers put it (beside the even columns,
  // between two rows; in swscale's 1/256 of a chroma sample).
  const int* matrix = sws_getCoefficients(format.matrix);
  const int full = format.range == AVCOL_RANGE_JPEG ? 1 : 0;
  sws_setColorspaceDetails(sws, matrix, full, matrix, full, 0, 1 << 16, 1 << 16);
  av_opt_set_int(sws, "src_h_chr_pos", 0, 0);
  av_opt_set_int(sws, "src_v_chr_pos", 128, 0);
  const auto* planes = reinterpret_cast<const uint8_t*>(yuv.data());
  const uint8_t* from[4] = {planes, planes + size_t{1} * width * height,
                            planes + size_t{1} * width * height + size_t{1} * chromawidth * chromaheight, nullptr};
  const int fromstride[4] = {width, chromawidth, chromawidth, 0};
  // Into a picture of its own (swscale may write past a row's end, up to
  // its vector's width), then into the middle of the black frame.
  frameptr photo(av_frame_alloc());
  if (photo) photo->format = composepixels, photo->width = width, photo->height = height;
  if (!photo || av_frame_get_buffer(photo.get(), 0) < 0) {
    sws_freeContext(sws);
    return *why = "out of memory", nullptr;
  }
  sws_scale(sws, from, fromstride, 0, height, photo->data, photo->linesize);
  const int left = (format.width - width) / 2, top = (format.height - height) / 2;
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < height; ++y)
      std::memcpy(out->data[p] + (top + y) * out->linesize[p] + left, photo->data[p] + y * photo->linesize[p],
                  static_cast<size_t>(width));
  sws_freeContext(sws);
  return out;
}

void drawsparks(AVFrame* f, int frame, const frameformat& format) {
  constexpr int sparks = 60;
  // Drawn for 576 rows, and as large on screen in any other frame.
  const double scale = format.height / 576.0;
  const int rise = static_cast<int>(280 * scale), margin = static_cast<int>(40 * scale);
  const int radius = std::max(2, static_cast<int>(std::lround(2 * scale)));
  const int white = whitelevel(format);
  uint32_t state = 20261209u;
  auto next = [&] { return state = state * 1664525u + 1013904223u, state >> 8; };
  const double t = (frame - effectfirst) / double(effectlast - effectfirst);
  for (int i = 0; i < sparks; ++i) {
    const int x0 = margin + static_cast<int>(next() % static_cast<uint32_t>(format.width - 2 * margin));
    const double launch = (next() % 1000) / 2000.0;  // in the first half
    const double speed = 0.7 + (next() % 1000) / 1700.0;
    const int u = 64 + static_cast<int>(next() % 40), v = 160 + static_cast<int>(next() % 60);
    const double age = (t - launch) / (1 - launch);
    if (age < 0) continue;
    const double brightness = 1 - age * age;
    for (int trail = 0; trail < 6; ++trail) {
      const double a = std::max(0.0, age - trail * 0.02);
      const int y = format.height - margin / 2 - static_cast<int>(rise * speed * (1 - (1 - a) * (1 - a)));
      const int x = x0 + static_cast<int>(12 * scale * std::sin(a * 6 + i));
      const double glow = brightness * (1 - trail / 6.0);
      for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
          const int px = x + dx, py = y + dy;
          if (px < 0 || px >= format.width || py < 0 || py >= format.height ||
              4 * (dx * dx + dy * dy) > 5 * radius * radius)
            continue;
          uint8_t& luma = f->data[0][py * f->linesize[0] + px];
          uint8_t& cb = f->data[1][py * f->linesize[1] + px];
          uint8_t& cr = f->data[2][py * f->linesize[2] + px];
          luma = static_cast<uint8_t>(luma + (white - luma) * glow);
          cb = static_cast<uint8_t>(cb + (u - cb) * glow);
          cr = static_cast<uint8_t>(cr + (v - cr) * glow);
        }
    }
  }
}

namespace {

// The text engine's messages, dropped: what fails comes back as no glyphs.
void quietass(int, const char*, va_list, void*) {}

// A line as the text engine's event text that shows exactly it: braces are
// escaped, and a backslash is followed by a word joiner (U+2060, no width,
// no glyph), so that it never starts one of the engine's escapes (\N, \n,
// \h, \{, \}).
std::string plaintext(const std::string& line) {
  std::string text;
  for (char c : line) {
    if (c == '{' || c == '}') text += '\\';
    text += c;
    if (c == '\\') text += "\xe2\x81\xa0";
  }
  return text;
}

// An RGB colour (0 ... 255) in the format's YUV.
void yuvof(int r, int g, int b, const frameformat& format, int yuv[3]) {
  const AVLumaCoefficients* k = av_csp_luma_coeffs_from_avcsp(format.matrix);
  const double kr = k ? av_q2d(k->cr) : 0.299, kb = k ? av_q2d(k->cb) : 0.114, kg = 1 - kr - kb;
  const double y = (kr * r + kg * g + kb * b) / 255, cb = (b / 255.0 - y) / (2 * (1 - kb)),
               cr = (r / 255.0 - y) / (2 * (1 - kr));
  const bool full = format.range == AVCOL_RANGE_JPEG;
  yuv[0] = static_cast<int>(std::lround(blacklevel(format) + (whitelevel(format) - blacklevel(format)) * y));
  yuv[1] = static_cast<int>(std::lround(chromazero + (full ? 255 : 224) * cb));
  yuv[2] = static_cast<int>(std::lround(chromazero + (full ? 255 : 224) * cr));
  for (int i = 0; i < 3; ++i) yuv[i] = std::clamp(yuv[i], 0, 255);
}

// The engine's pictures of the glyphs laid over the card.
void blend(const ASS_Image* image, AVFrame* card, const frameformat& format) {
  for (; image; image = image->next) {
    int yuv[3];
    yuvof(static_cast<int>(image->color >> 24), static_cast<int>(image->color >> 16 & 0xff),
          static_cast<int>(image->color >> 8 & 0xff), format, yuv);
    const int opacity = 255 - static_cast<int>(image->color & 0xff);
    for (int y = 0; y < image->h; ++y)
      for (int x = 0; x < image->w; ++x) {
        const int px = image->dst_x + x, py = image->dst_y + y;
        if (px < 0 || px >= card->width || py < 0 || py >= card->height) continue;
        const int a = image->bitmap[y * image->stride + x] * opacity / 255;
        for (int p = 0; p < 3; ++p) {
          uint8_t& v = card->data[p][py * card->linesize[p] + px];
          v = static_cast<uint8_t>((v * (255 - a) + yuv[p] * a + 127) / 255);
        }
      }
  }
}

}  // namespace

frameptr drawtitle(const std::vector<std::string>& lines, const frameformat& format, std::string* why) {
  frameptr card = blackpicture(format, composepixels);
  ASS_Library* library = ass_library_init();
  if (library) ass_set_message_cb(library, quietass, nullptr);
  ASS_Renderer* renderer = library ? ass_renderer_init(library) : nullptr;
  ASS_Track* track = renderer ? ass_new_track(library) : nullptr;
  const int style = track ? ass_alloc_style(track) : -1;
  if (!card || style < 0) {
    if (track) ass_free_track(track);
    if (renderer) ass_renderer_done(renderer);
    if (library) ass_library_done(library);
    return *why = "out of memory", nullptr;
  }
  ass_set_frame_size(renderer, format.width, format.height);
  ass_set_storage_size(renderer, format.width, format.height);
  // Glyphs round on screen: the engine scales their width by this.
  ass_set_pixel_aspect(renderer, av_q2d(av_inv_q(format.aspect)));
  ass_set_fonts(renderer, titlefallbackfont, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
  track->track_type = ASS_Track::TRACK_TYPE_ASS;
  track->PlayResX = format.width;
  track->PlayResY = format.height;
  track->WrapStyle = 2;  // the lines are wrapped already
  ASS_Style& s = track->styles[style];
  s.Name = strdup("card");
  s.FontName = strdup("sans-serif");
  s.FontSize = titlesize * format.height / 576.0;
  s.PrimaryColour = 0xffffff00;  // white, opaque
  s.ScaleX = s.ScaleY = 1;
  s.BorderStyle = 1;
  s.Encoding = -1;  // each line's direction from its own text
  const int spacing = titlespacing * format.height / 576;
  const int top = (format.height - static_cast<int>(lines.size()) * spacing) / 2;
  bool outofmemory = !s.Name || !s.FontName;
  for (size_t i = 0; i < lines.size() && !outofmemory; ++i) {
    if (lines[i].empty()) continue;
    const int e = ass_alloc_event(track);
    if (e < 0) {
      outofmemory = true;
      break;
    }
    ASS_Event& event = track->events[e];
    event.Start = 0;
    event.Duration = 1000;
    event.Style = style;
    // Centred on its row, so that lines are never moved apart as colliding.
    const std::string place = "{\\an5\\pos(" + std::to_string(format.width / 2) + "," +
                              std::to_string(top + static_cast<int>(i) * spacing + spacing / 2) + ")}";
    event.Text = strdup((place + plaintext(lines[i])).c_str());
    outofmemory = !event.Text;
  }
  bool drawn = false;
  if (!outofmemory) {
    int changed = 0;
    const ASS_Image* images = ass_render_frame(renderer, track, 0, &changed);
    drawn = images != nullptr;
    blend(images, card.get(), format);
  }
  const bool anytext = std::any_of(lines.begin(), lines.end(),
                                   [](const std::string& l) { return l.find_first_not_of(' ') != std::string::npos; });
  ass_free_track(track);
  ass_renderer_done(renderer);
  ass_library_done(library);
  if (outofmemory) return *why = "out of memory", nullptr;
  if (anytext && !drawn)
    return *why = std::string("no font to draw the title in (nor ") + titlefallbackfont + ")", nullptr;
  return card;
}
