#include "video/render.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "base/io.h"

const char titlefont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

const char* xfadename(int row) {
  static const char* const names[23] = {
      "fade",                                                 // Dissolve
      "wipeleft",   "wiperight",   "wipeup",   "wipedown",    // Wipe
      "smoothleft", "smoothright", "smoothup", "smoothdown",  // FuzzyWipe
      "squeezeh",                                             // TransFunnel
      "circleopen",                                           // TransMarbles
      "slideright", "slideleft",                              // TransSprite
      "zoomin",                                               // TransFlipTurn
      "radial",                                               // TransDisco
      "diagbr",                                               // TransSlantRollIn "se"
      "dissolve",                                             // TransPaint
      "wipetl",                                               // TransPeel
      "vertopen",                                             // TransTwinDoors
      "hlslice",    "hrslice",                                // TransShuffle
      "pixelize",                                             // TransCrumple
      "hblur",                                                // TransScratch
  };
  return row >= 1 && row <= 23 ? names[row - 1] : "fade";
}

namespace {

// The library's messages, dropped: what fails comes back from its calls.
void quietlog(void*, int, const char*, va_list) {}

constexpr int width = 720, height = 576;
constexpr int samplerate = 48000, samplesperframe = samplerate / showrate;

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct framefree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using frameptr = std::unique_ptr<AVFrame, framefree>;

frameptr newpicture() {
  frameptr f(av_frame_alloc());
  if (!f) return nullptr;
  f->format = AV_PIX_FMT_YUV420P;
  f->width = width;
  f->height = height;
  f->color_range = AVCOL_RANGE_MPEG;
  f->sample_aspect_ratio = {16, 15};
  if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
  return f;
}

frameptr blackpicture() {
  frameptr f = newpicture();
  if (!f) return nullptr;
  for (int y = 0; y < height; ++y) std::memset(f->data[0] + y * f->linesize[0], 16, width);
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < height / 2; ++y) std::memset(f->data[p] + y * f->linesize[p], 128, width / 2);
  return f;
}

// A JPEG's bytes as a picture of the video's size and format.
frameptr decodejpeg(const std::string& bytes, std::string* why) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* packet = av_packet_alloc();
  frameptr decoded(av_frame_alloc()), out;
  int code = ctx && packet && decoded ? avcodec_open2(ctx, codec, nullptr) : AVERROR(ENOMEM);
  if (code >= 0 && av_new_packet(packet, static_cast<int>(bytes.size())) >= 0) {
    std::memcpy(packet->data, bytes.data(), bytes.size());
    code = avcodec_send_packet(ctx, packet);
    if (code >= 0) code = avcodec_send_packet(ctx, nullptr);
    if (code >= 0) code = avcodec_receive_frame(ctx, decoded.get());
  }
  if (code >= 0) {
    out = newpicture();
    const AVPixelFormat from = static_cast<AVPixelFormat>(decoded->format);
    SwsContext* sws = out ? sws_getContext(decoded->width, decoded->height, from, width, height, AV_PIX_FMT_YUV420P,
                                           SWS_BICUBIC, nullptr, nullptr, nullptr)
                          : nullptr;
    if (sws) {
      // JPEG's YUV is full range; the video's is not.
      const bool full = from == AV_PIX_FMT_YUVJ420P || from == AV_PIX_FMT_YUVJ422P || from == AV_PIX_FMT_YUVJ444P ||
                        decoded->color_range == AVCOL_RANGE_JPEG;
      const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
      sws_setColorspaceDetails(sws, coefficients, full ? 1 : 0, coefficients, 0, 0, 1 << 16, 1 << 16);
      sws_scale(sws, decoded->data, decoded->linesize, 0, decoded->height, out->data, out->linesize);
      sws_freeContext(sws);
    } else {
      out.reset();
      code = AVERROR(ENOMEM);
    }
  }
  if (code < 0) *why = averror(code);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  return out;
}

// Slide 1's opening effect: sparks rising from the bottom edge and
// fading, the same every run. frame is 1 ... 50.
void drawsparks(AVFrame* f, int frame) {
  constexpr int sparks = 60, rise = 280;
  uint32_t state = 20261209u;
  auto next = [&] { return state = state * 1664525u + 1013904223u, state >> 8; };
  const double t = (frame - effectfirst) / double(effectlast - effectfirst);
  for (int i = 0; i < sparks; ++i) {
    const int x0 = 40 + static_cast<int>(next() % (width - 80));
    const double launch = (next() % 1000) / 2000.0;  // in the first half
    const double speed = 0.7 + (next() % 1000) / 1700.0;
    const int u = 64 + static_cast<int>(next() % 40), v = 160 + static_cast<int>(next() % 60);
    const double age = (t - launch) / (1 - launch);
    if (age < 0) continue;
    const double brightness = 1 - age * age;
    for (int trail = 0; trail < 6; ++trail) {
      const double a = std::max(0.0, age - trail * 0.02);
      const int y = height - 20 - static_cast<int>(rise * speed * (1 - (1 - a) * (1 - a)));
      const int x = x0 + static_cast<int>(12 * std::sin(a * 6 + i));
      const double glow = brightness * (1 - trail / 6.0);
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
          const int px = x + dx, py = y + dy;
          if (px < 0 || px >= width || py < 0 || py >= height || dx * dx + dy * dy > 5) continue;
          uint8_t& luma = f->data[0][py * f->linesize[0] + px];
          luma = static_cast<uint8_t>(luma + (235 - luma) * glow);
          if ((px | py) & 1) continue;
          uint8_t& cb = f->data[1][py / 2 * f->linesize[1] + px / 2];
          uint8_t& cr = f->data[2][py / 2 * f->linesize[2] + px / 2];
          cb = static_cast<uint8_t>(cb + (u - cb) * glow);
          cr = static_cast<uint8_t>(cr + (v - cr) * glow);
        }
    }
  }
}

// A filter graph of buffer sources, a chain of filters and a sink.
struct graph {
  AVFilterGraph* g = nullptr;
  std::vector<AVFilterContext*> sources;
  AVFilterContext* sink = nullptr;
  ~graph() { avfilter_graph_free(&g); }

  AVFilterContext* add(const char* filter, const char* name, std::string* why) {
    AVFilterContext* ctx = avfilter_graph_alloc_filter(g, avfilter_get_by_name(filter), name);
    if (!ctx) *why = std::string("no filter ") + filter;
    return ctx;
  }
  bool init(std::string* why) {
    g = avfilter_graph_alloc();
    if (!g) return *why = "out of memory", false;
    // The graph runs in the calling thread.
    g->nb_threads = 1;
    return true;
  }
  AVFilterContext* source(const char* name, std::string* why) {
    AVFilterContext* src = add("buffer", name, why);
    if (!src) return nullptr;
    AVBufferSrcParameters* p = av_buffersrc_parameters_alloc();
    p->format = AV_PIX_FMT_YUV420P;
    p->width = width;
    p->height = height;
    p->time_base = {1, showrate};
    p->frame_rate = {showrate, 1};
    p->sample_aspect_ratio = {16, 15};
    const int code = av_buffersrc_parameters_set(src, p);
    av_free(p);
    if (code < 0 || avfilter_init_str(src, nullptr) < 0) return *why = "cannot set up a buffer source", nullptr;
    sources.push_back(src);
    return src;
  }
  bool finish(AVFilterContext* last, std::string* why) {
    sink = add("buffersink", "out", why);
    if (!sink || avfilter_init_str(sink, nullptr) < 0 || avfilter_link(last, 0, sink, 0) < 0) return false;
    const int code = avfilter_graph_config(g, nullptr);
    if (code < 0) return *why = "cannot set up the filters: " + averror(code), false;
    return true;
  }
};

// The title card: the lines centred, white on black.
frameptr drawtitle(const std::vector<std::string>& lines, std::string* why) {
  graph gr;
  if (!gr.init(why)) return nullptr;
  AVFilterContext* last = gr.source("in", why);
  if (!last) return nullptr;
  constexpr int size = 32, spacing = 48;
  const int top = (height - static_cast<int>(lines.size()) * spacing) / 2;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    AVFilterContext* text = gr.add("drawtext", ("line" + std::to_string(i)).c_str(), why);
    if (!text) return nullptr;
    // The text as given: no expansion of % sequences, no parsing of a graph string.
    const std::string y = std::to_string(top + static_cast<int>(i) * spacing + (spacing - size) / 2);
    if (av_opt_set(text, "fontfile", titlefont, AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "text", lines[i].c_str(), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "expansion", "none", AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "fontsize", std::to_string(size).c_str(), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "fontcolor", "white", AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "x", "(w-text_w)/2", AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(text, "y", y.c_str(), AV_OPT_SEARCH_CHILDREN) < 0) {
      *why = "cannot set up the title's text";
      return nullptr;
    }
    const int code = avfilter_init_dict(text, nullptr);
    if (code < 0) return *why = std::string("cannot draw the title in ") + titlefont + ": " + averror(code), nullptr;
    if (avfilter_link(last, 0, text, 0) < 0) return *why = "cannot link the title's filters", nullptr;
    last = text;
  }
  if (!gr.finish(last, why)) return nullptr;
  frameptr black = blackpicture();
  if (!black) return *why = "out of memory", nullptr;
  black->pts = 0;
  frameptr out(av_frame_alloc());
  if (av_buffersrc_add_frame_flags(gr.sources[0], black.get(), AV_BUFFERSRC_FLAG_KEEP_REF) < 0 ||
      av_buffersrc_add_frame(gr.sources[0], nullptr) < 0 || av_buffersink_get_frame(gr.sink, out.get()) < 0)
    return *why = "cannot draw the title", nullptr;
  return out;
}

// One transition: xfade over steps + 1 frames, the first of which (the
// outgoing picture alone) is not shown, so that step j shows the incoming
// picture at weight (j + 1) / (steps + 1), as the script's dissolves do.
class transitionfilter {
 public:
  bool open(int row, int steps, std::string* why) {
    if (!gr_.init(why)) return false;
    AVFilterContext* a = gr_.source("a", why);
    AVFilterContext* b = a ? gr_.source("b", why) : nullptr;
    AVFilterContext* x = b ? gr_.add("xfade", "xfade", why) : nullptr;
    if (!x) return false;
    if (av_opt_set(x, "transition", xfadename(row), AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set_int(x, "duration", int64_t{steps + 1} * AV_TIME_BASE / showrate, AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set_int(x, "offset", 0, AV_OPT_SEARCH_CHILDREN) < 0 || avfilter_init_dict(x, nullptr) < 0 ||
        avfilter_link(a, 0, x, 0) < 0 || avfilter_link(b, 0, x, 1) < 0)
      return *why = std::string("cannot set up the transition ") + xfadename(row), false;
    return gr_.finish(x, why);
  }
  // The picture of step j, from a and b; steps come in order from 0.
  frameptr step(int j, AVFrame* a, AVFrame* b, std::string* why) {
    if (j == 0 && !push(0, a, a, why)) return nullptr;
    if (j == 0) {
      frameptr skipped = pull(why);
      if (!skipped) return nullptr;
    }
    if (!push(j + 1, a, b, why)) return nullptr;
    return pull(why);
  }

 private:
  bool push(int pts, AVFrame* a, AVFrame* b, std::string* why) {
    for (int i = 0; i < 2; ++i) {
      frameptr ref(av_frame_clone(i == 0 ? a : b));
      if (!ref) return *why = "out of memory", false;
      ref->pts = pts;
      const int code = av_buffersrc_add_frame(gr_.sources[static_cast<size_t>(i)], ref.get());
      if (code < 0) return *why = "transition: " + averror(code), false;
    }
    return true;
  }
  frameptr pull(std::string* why) {
    frameptr out(av_frame_alloc());
    const int code = av_buffersink_get_frame(gr_.sink, out.get());
    if (code < 0) return *why = "transition: " + averror(code), nullptr;
    return out;
  }
  graph gr_;
};

// The output file: written through its descriptor.
int writepacket(void* opaque, uint8_t* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  int done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AVERROR(errno);
    done += static_cast<int>(n);
  }
  return size;
}

int readpacket(void* opaque, uint8_t* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  ssize_t n;
  do n = ::read(fd, data, static_cast<size_t>(size));
  while (n < 0 && errno == EINTR);
  return n < 0 ? AVERROR(errno) : n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int64_t seekfd(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    const off_t here = lseek(fd, 0, SEEK_CUR), end = lseek(fd, 0, SEEK_END);
    lseek(fd, here, SEEK_SET);
    return end < 0 ? AVERROR(errno) : end;
  }
  const off_t at = lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

AVIOContext* fdio(int* fd, bool write) {
  constexpr int size = static_cast<int>(iochunk);
  auto* buffer = static_cast<unsigned char*>(av_malloc(size));
  if (!buffer) return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, size, write ? 1 : 0, fd, write ? nullptr : readpacket,
                                       write ? writepacket : nullptr, seekfd);
  if (!io) av_free(buffer);
  return io;
}

void freeio(AVIOContext** io) {
  if (!*io) return;
  av_freep(&(*io)->buffer);
  avio_context_free(io);
}

}  // namespace

struct renderer::state {
  renderjob job;
  int outfd = -1, musicfd = -1;
  frameptr title;
  AVFormatContext* mux = nullptr;
  AVIOContext* outio = nullptr;
  AVCodecContext* video = nullptr;
  AVCodecContext* audio = nullptr;
  AVStream* videostream = nullptr;
  AVStream* audiostream = nullptr;
  AVPacket* packet = nullptr;
  // The music, 48 kHz stereo interleaved, at most the show's length.
  std::vector<int16_t> music;
  int64_t audiosamples = 0, audiodone = 0;
  frameptr audioframe;

  ~state() {
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    if (mux) avformat_free_context(mux);
    freeio(&outio);
    av_packet_free(&packet);
  }

  bool openvideo(std::string* why) {
    const bool mpeg2 = job.form == videoform::mpg;
    const AVCodec* codec = avcodec_find_encoder_by_name(mpeg2 ? "mpeg2video" : "libx264");
    if (!codec)
      return *why = std::string("the media library has no ") + (mpeg2 ? "mpeg2video" : "libx264") + " encoder", false;
    video = avcodec_alloc_context3(codec);
    if (!video) return *why = "out of memory", false;
    video->width = width;
    video->height = height;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = {1, showrate};
    video->framerate = {showrate, 1};
    video->sample_aspect_ratio = {16, 15};
    video->color_range = AVCOL_RANGE_MPEG;
    video->thread_count = std::max(1, job.threads);
    AVDictionary* options = nullptr;
    if (mpeg2) {
      // A PAL DVD's limits: a GOP of 15 at most, 9.8 Mbit/s at most.
      video->bit_rate = 8000000;
      video->rc_max_rate = 9800000;
      video->rc_buffer_size = 224 * 1024 * 8;
      video->gop_size = 15;
      video->max_b_frames = 2;
    } else {
      av_dict_set(&options, "preset", "veryfast", 0);
      av_dict_set(&options, "crf", "20", 0);
    }
    if (mux->oformat->flags & AVFMT_GLOBALHEADER) video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int code = avcodec_open2(video, codec, &options);
    av_dict_free(&options);
    if (code < 0) return *why = std::string("cannot open the ") + codec->name + " encoder: " + averror(code), false;
    videostream = avformat_new_stream(mux, nullptr);
    if (!videostream || avcodec_parameters_from_context(videostream->codecpar, video) < 0)
      return *why = "out of memory", false;
    videostream->time_base = video->time_base;
    videostream->sample_aspect_ratio = video->sample_aspect_ratio;
    videostream->avg_frame_rate = video->framerate;
    return true;
  }

  bool openaudio(std::string* why) {
    const bool mp2 = job.form == videoform::mpg;
    const AVCodec* codec = avcodec_find_encoder_by_name(mp2 ? "mp2" : "aac");
    if (!codec) return *why = std::string("the media library has no ") + (mp2 ? "mp2" : "aac") + " encoder", false;
    audio = avcodec_alloc_context3(codec);
    if (!audio) return *why = "out of memory", false;
    audio->sample_rate = samplerate;
    audio->sample_fmt = mp2 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&audio->ch_layout, 2);
    audio->bit_rate = mp2 ? 224000 : 192000;
    audio->time_base = {1, samplerate};
    if (mux->oformat->flags & AVFMT_GLOBALHEADER) audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int code = avcodec_open2(audio, codec, nullptr);
    if (code < 0) return *why = std::string("cannot open the ") + codec->name + " encoder: " + averror(code), false;
    audiostream = avformat_new_stream(mux, nullptr);
    if (!audiostream || avcodec_parameters_from_context(audiostream->codecpar, audio) < 0)
      return *why = "out of memory", false;
    audiostream->time_base = audio->time_base;
    audioframe.reset(av_frame_alloc());
    audioframe->format = audio->sample_fmt;
    audioframe->nb_samples = audio->frame_size;
    audioframe->sample_rate = samplerate;
    if (!audioframe || av_channel_layout_copy(&audioframe->ch_layout, &audio->ch_layout) < 0 ||
        av_frame_get_buffer(audioframe.get(), 0) < 0)
      return *why = "out of memory", false;
    return true;
  }

  // Sends a frame (null: the end) to an encoder and writes what comes out.
  bool encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame, std::string* why) {
    int code = avcodec_send_frame(codec, frame);
    while (code >= 0) {
      code = avcodec_receive_packet(codec, packet);
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
      if (code < 0) break;
      av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      code = av_interleaved_write_frame(mux, packet);
    }
    *why = "cannot encode the video: " + averror(code);
    return false;
  }

  // The music's samples, decoded and resampled, up to the show's length.
  bool decodemusic(std::string* problem) {
    AVFormatContext* in = avformat_alloc_context();
    AVIOContext* io = fdio(&musicfd, false);
    AVCodecContext* dec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* pkt = av_packet_alloc();
    frameptr frame(av_frame_alloc());
    int stream = -1, code = 0;
    std::string what;
    if (!in || !io || !pkt || !frame) {
      code = AVERROR(ENOMEM);
    } else {
      in->pb = io;
      code = avformat_open_input(&in, nullptr, nullptr, nullptr);
      if (code >= 0) code = avformat_find_stream_info(in, nullptr);
      const AVCodec* codec = nullptr;
      if (code >= 0) stream = code = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
      if (code == AVERROR_STREAM_NOT_FOUND) what = "holds no sound";
      if (code >= 0 && !(dec = avcodec_alloc_context3(codec))) code = AVERROR(ENOMEM);
      if (code >= 0) code = avcodec_parameters_to_context(dec, in->streams[stream]->codecpar);
      if (code >= 0) code = avcodec_open2(dec, codec, nullptr);
      AVChannelLayout stereo;
      av_channel_layout_default(&stereo, 2);
      if (code >= 0 && dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&dec->ch_layout, dec->ch_layout.nb_channels);
      if (code >= 0)
        code = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, samplerate, &dec->ch_layout, dec->sample_fmt,
                                   dec->sample_rate, 0, nullptr);
      if (code >= 0) code = swr_init(swr);
      const size_t wanted = static_cast<size_t>(audiosamples) * 2;
      bool ended = false;
      while (code >= 0 && music.size() < wanted && !ended) {
        code = av_read_frame(in, pkt);
        if (code == AVERROR_EOF) {
          ended = true;
          code = avcodec_send_packet(dec, nullptr);
        } else if (code >= 0) {
          if (pkt->stream_index == stream) code = avcodec_send_packet(dec, pkt);
          av_packet_unref(pkt);
          // A damaged packet is skipped, as a player would.
          if (code == AVERROR_INVALIDDATA) code = 0;
        }
        while (code >= 0) {
          code = avcodec_receive_frame(dec, frame.get());
          if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) {
            code = 0;
            break;
          }
          if (code < 0) break;
          const int room = swr_get_out_samples(swr, frame->nb_samples);
          const size_t at = music.size();
          music.resize(at + static_cast<size_t>(room) * 2);
          auto* out = reinterpret_cast<uint8_t*>(music.data() + at);
          const int got =
              swr_convert(swr, &out, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
          music.resize(at + static_cast<size_t>(std::max(got, 0)) * 2);
          if (got < 0) code = got;
        }
      }
      if (code >= 0 && music.empty()) what = "holds no sound";
    }
    if (code < 0 && what.empty()) what = code == AVERROR_INVALIDDATA ? "not audio, or damaged" : averror(code);
    if (music.size() > static_cast<size_t>(audiosamples) * 2) music.resize(static_cast<size_t>(audiosamples) * 2);
    swr_free(&swr);
    avcodec_free_context(&dec);
    av_packet_free(&pkt);
    avformat_close_input(&in);
    freeio(&io);
    if (!what.empty()) {
      music.clear();
      *problem = what;
      return false;
    }
    return true;
  }

  // Encodes the sound up to sample `until` of the show.
  bool sound(int64_t until, std::string* why) {
    const int64_t fade = 3 * samplerate;
    while (audiodone < until) {
      const int n = static_cast<int>(std::min<int64_t>(audio->frame_size, audiosamples - audiodone));
      if (n <= 0) break;
      if (av_frame_make_writable(audioframe.get()) < 0) return *why = "out of memory", false;
      audioframe->nb_samples = n;
      for (int i = 0; i < n; ++i) {
        const int64_t at = audiodone + i;
        float left = 0, right = 0;
        if (!music.empty()) {
          const size_t k = static_cast<size_t>(at % static_cast<int64_t>(music.size() / 2)) * 2;
          const float gain = at >= audiosamples - fade ? float(audiosamples - at) / fade : 1.0f;
          left = music[k] * gain, right = music[k + 1] * gain;
        }
        if (audio->sample_fmt == AV_SAMPLE_FMT_S16) {
          auto* s = reinterpret_cast<int16_t*>(audioframe->data[0]);
          s[2 * i] = static_cast<int16_t>(left), s[2 * i + 1] = static_cast<int16_t>(right);
        } else {
          reinterpret_cast<float*>(audioframe->data[0])[i] = left / 32768.0f;
          reinterpret_cast<float*>(audioframe->data[1])[i] = right / 32768.0f;
        }
      }
      audioframe->pts = audiodone;
      if (!encode(audio, audiostream, audioframe.get(), why)) return false;
      audiodone += n;
    }
    return true;
  }
};

renderer::renderer(renderjob job) : s_(std::make_unique<state>()) {
  s_->job = std::move(job);
  s_->outfd = s_->job.output;
  s_->musicfd = s_->job.music;
}

renderer::~renderer() = default;

bool renderer::prepare(std::string* why) {
  state& s = *s_;
  // The library's own chatter stays off the user's console; and its own
  // printer would ask whether standard error is a terminal, a call the
  // render's sandbox refuses.
  av_log_set_level(AV_LOG_ERROR);
  av_log_set_callback(quietlog);
  if (s.job.form == videoform::none) return *why = std::string("a video is ") + videoforms, false;
  if (s.job.frames.size() != static_cast<size_t>(s.job.show.slides()) || s.job.show.slides() == 0)
    return *why = "no slides to show", false;
  s.title = drawtitle(titlelines(s.job.title), why);
  if (!s.title) return false;
  const char* format = s.job.form == videoform::mpg ? "dvd" : s.job.form == videoform::mkv ? "matroska" : "mp4";
  int code = avformat_alloc_output_context2(&s.mux, nullptr, format, nullptr);
  if (code < 0) return *why = std::string("the media library has no ") + format + " format", false;
  s.packet = av_packet_alloc();
  s.outio = fdio(&s.outfd, true);
  if (!s.packet || !s.outio) return *why = "out of memory", false;
  s.mux->pb = s.outio;
  s.mux->flags |= AVFMT_FLAG_CUSTOM_IO;
  s.audiosamples = int64_t{s.job.show.frames()} * samplesperframe;
  // A DVD's video has sound always; the others when there is music.
  if (!s.openvideo(why) || ((s.job.music >= 0 || s.job.form == videoform::mpg) && !s.openaudio(why))) return false;
  AVDictionary* muxing = nullptr;
  if (s.job.form == videoform::mpg) {
    // A DVD's program stream: its full rate and 2 KiB packs, so that the
    // largest picture the encoder's buffer allows reaches the player in time.
    av_dict_set(&muxing, "muxrate", "10080000", 0);
    av_dict_set(&muxing, "packetsize", "2048", 0);
  }
  code = avformat_write_header(s.mux, &muxing);
  av_dict_free(&muxing);
  if (code < 0) return *why = "cannot write the video: " + averror(code), false;
  return true;
}

bool renderer::render(const std::function<void(int)>& progress, std::string* why, std::string* musicproblem) {
  state& s = *s_;
  if (s.musicfd >= 0 && s.audio) s.decodemusic(musicproblem);
  const timeline& show = s.job.show;
  // The pictures of the parts on screen: the title card, and each slide
  // decoded once, when it first comes on.
  std::map<int, frameptr> parts;
  auto picture = [&](int part) -> AVFrame* {
    if (part == 0) return s.title.get();
    auto found = parts.find(part);
    if (found != parts.end()) return found->second.get();
    const filespan& at = s.job.frames[static_cast<size_t>(part - 1)];
    std::string bytes(at.size, '\0'), reason;
    errno = 0;
    if (!readallat(s.job.source, at.offset, bytes.data(), bytes.size())) {
      *why = "cannot read frame " + std::to_string(part) + (errno ? std::string(": ") + std::strerror(errno) : "");
      return nullptr;
    }
    frameptr decoded = decodejpeg(bytes, &reason);
    if (!decoded) {
      *why = "cannot decode frame " + std::to_string(part) + ": " + reason;
      return nullptr;
    }
    return parts.emplace(part, std::move(decoded)).first->second.get();
  };
  // What part shows at its frame: its picture, or slide 1's with sparks.
  frameptr sparkframe;
  auto shown = [&](int part, int partframe) -> AVFrame* {
    AVFrame* p = picture(part);
    if (!p || part != 1 || partframe < effectfirst || partframe > effectlast) return p;
    sparkframe = newpicture();
    if (!sparkframe || av_frame_copy(sparkframe.get(), p) < 0) return *why = "out of memory", nullptr;
    drawsparks(sparkframe.get(), partframe);
    return sparkframe.get();
  };
  std::unique_ptr<transitionfilter> transition;
  for (int f = 0; f < show.frames(); ++f) {
    const timeline::moment m = show.at(f);
    for (auto it = parts.begin(); it != parts.end() && it->first < m.part;) it = parts.erase(it);
    AVFrame* a = shown(m.part, m.partframe);
    if (!a) return false;
    frameptr out;
    if (m.transition()) {
      // The outgoing picture may be one with sparks: keep it past the next's.
      frameptr held(av_frame_clone(a));
      AVFrame* b = held ? shown(m.part + 1, m.step) : nullptr;
      if (!b) return false;
      if (m.step == 0) {
        transition = std::make_unique<transitionfilter>();
        if (!transition->open(m.row == 0 ? 1 : m.row, m.steps, why)) return false;
      }
      out = transition->step(m.step, held.get(), b, why);
    } else {
      out.reset(av_frame_clone(a));
      if (!out) *why = "out of memory";
    }
    if (!out) return false;
    out->pts = f;
    out->pict_type = AV_PICTURE_TYPE_NONE;
    if (!s.encode(s.video, s.videostream, out.get(), why)) return false;
    if (s.audio && !s.sound(int64_t{f + 1} * samplesperframe, why)) return false;
    if (progress && ((f + 1) % showrate == 0 || f + 1 == show.frames())) progress(f + 1);
  }
  if (!s.encode(s.video, s.videostream, nullptr, why)) return false;
  if (s.audio && (!s.sound(s.audiosamples, why) || !s.encode(s.audio, s.audiostream, nullptr, why))) return false;
  const int code = av_write_trailer(s.mux);
  if (code < 0) return *why = "cannot write the video: " + averror(code), false;
  avio_flush(s.outio);
  if (s.outio->error < 0) return *why = "cannot write the video: " + averror(s.outio->error), false;
  return true;
}
