// The show as a video, read back with the media library: its streams, and
// every frame classified as the title card, one slide, or neither (a
// transition), against the timeline the script describes.
#include "video/render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>

#include "fixtures.h"
#include "testdir.h"
#include "testprocess.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

// A picture by the mean colour of the middle of each of 4 x 3 blocks.
constexpr unsigned columns = 4, rows = 3;
using signature = std::array<double, columns * rows * 3>;

double rms(const signature& a, const signature& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum / a.size());
}

// The colours of the blocks of still `number`, each its own.
std::array<rgb, columns * rows> patterncolours(unsigned number) {
  unsigned state = number * 2654435761u + 12345u;
  std::array<rgb, columns * rows> colours;
  for (rgb& c : colours) {
    auto next = [&] { return state = state * 1103515245u + 12345u, static_cast<unsigned char>(40 + (state >> 16) % 176); };
    c = {next(), next(), next()};
  }
  return colours;
}

bool patternstill(const std::string& path, unsigned number, unsigned w, unsigned h) {
  const auto colours = patterncolours(number);
  return writepicture(path, w, h, [&](unsigned x, unsigned y) { return colours[y * rows / h * columns + x * columns / w]; });
}

signature patternsignature(unsigned number) {
  signature s;
  const auto colours = patterncolours(number);
  for (size_t b = 0; b < colours.size(); ++b) s[3 * b] = colours[b].r, s[3 * b + 1] = colours[b].g, s[3 * b + 2] = colours[b].b;
  return s;
}

// What a video file holds, as the media library reads it.
struct video {
  std::string error;
  std::string videocodec, audiocodec, format;
  int width = 0, height = 0;
  AVRational sar{0, 1}, fps{0, 1};
  int64_t bitrate = 0, maxrate = 0;
  double videoseconds = 0, audioseconds = 0;
  int audiorate = 0, audiochannels = 0;
  double audiolevel = 0;  // the mean absolute sample, 0 ... 1
  std::vector<signature> frames;
  int gop = 0;  // the longest run from one key frame to the next
};

video readvideo(const std::string& path) {
  video v;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0) {
    v.error = "cannot open " + path;
    avformat_close_input(&in);
    return v;
  }
  v.format = in->iformat->name;
  const int vs = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int as = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  AVCodecContext* dec[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    const int s = i == 0 ? vs : as;
    if (s < 0) continue;
    const AVCodecParameters* p = in->streams[s]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(p->codec_id);
    dec[i] = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec[i], p);
    avcodec_open2(dec[i], codec, nullptr);
    (i == 0 ? v.videocodec : v.audiocodec) = codec->name;
  }
  if (vs >= 0) {
    const AVCodecParameters* p = in->streams[vs]->codecpar;
    v.width = p->width, v.height = p->height, v.sar = p->sample_aspect_ratio;
    v.fps = in->streams[vs]->avg_frame_rate;
    v.bitrate = p->bit_rate;
  }
  if (as >= 0) v.audiorate = in->streams[as]->codecpar->sample_rate, v.audiochannels = in->streams[as]->codecpar->ch_layout.nb_channels;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<unsigned char> rgbdata(720 * 576 * 3);
  SwsContext* sws = nullptr;
  int64_t audiosamples = 0;
  double level = 0;
  int sincekey = 0;
  auto drain = [&](int i) {
    while (avcodec_receive_frame(dec[i], frame) >= 0) {
      if (i == 1) {
        audiosamples += frame->nb_samples;
        for (int c = 0; c < frame->ch_layout.nb_channels && frame->format == AV_SAMPLE_FMT_FLTP; ++c)
          for (int k = 0; k < frame->nb_samples; ++k) level += std::fabs(reinterpret_cast<float*>(frame->data[c])[k]);
        for (int k = 0; k < frame->nb_samples * 2 && frame->format == AV_SAMPLE_FMT_S16; ++k)
          level += std::fabs(reinterpret_cast<int16_t*>(frame->data[0])[k] / 32768.0);
        continue;
      }
      if (frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I) sincekey = 0;
      v.gop = std::max(v.gop, ++sincekey);
      sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), 720, 576,
                                 AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
      uint8_t* planes[1] = {rgbdata.data()};
      int strides[1] = {720 * 3};
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
      signature s;
      constexpr unsigned bw = 720 / columns, bh = 576 / rows;
      for (unsigned b = 0; b < columns * rows; ++b) {
        double sum[3] = {0, 0, 0};
        unsigned count = 0;
        const unsigned x0 = b % columns * bw, y0 = b / columns * bh;
        for (unsigned y = y0 + bh / 4; y < y0 + 3 * bh / 4; y += 2)
          for (unsigned x = x0 + bw / 4; x < x0 + 3 * bw / 4; x += 2, ++count)
            for (unsigned c = 0; c < 3; ++c) sum[c] += rgbdata[(size_t{y} * 720 + x) * 3 + c];
        for (unsigned c = 0; c < 3; ++c) s[3 * b + c] = sum[c] / count;
      }
      v.frames.push_back(s);
    }
  };
  while (av_read_frame(in, packet) >= 0) {
    const int i = packet->stream_index == vs ? 0 : packet->stream_index == as ? 1 : -1;
    if (i >= 0 && dec[i] && avcodec_send_packet(dec[i], packet) >= 0) drain(i);
    av_packet_unref(packet);
  }
  for (int i = 0; i < 2; ++i)
    if (dec[i]) avcodec_send_packet(dec[i], nullptr), drain(i);
  v.videoseconds = v.fps.num ? v.frames.size() * av_q2d(av_inv_q(v.fps)) : 0;
  if (v.audiorate) v.audioseconds = double(audiosamples) / v.audiorate;
  if (audiosamples) v.audiolevel = level / audiosamples / 2;
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  for (auto& d : dec) avcodec_free_context(&d);
  avformat_close_input(&in);
  return v;
}

// How a show of n slides came out, frame by frame, against its timeline:
// each frame the timeline holds as one part alone shows that part (the
// title card is dark; the sparks' frames may stray); between two parts
// alone at least one frame is neither (a transition, not a cut).
void checkframes(const video& v, const timeline& show, const std::vector<unsigned>& numbers) {
  ASSERT_EQ(v.frames.size(), static_cast<size_t>(show.frames()));
  std::vector<signature> known = {v.frames.at(0)};
  double level = 0;
  for (double x : known[0]) level += x / known[0].size();
  EXPECT_LT(level, 40) << "the first frame is not a title card";
  for (unsigned n : numbers) known.push_back(patternsignature(n));
  std::vector<int> seen(known.size(), 0);
  int lastalone = -1;
  bool between = false;
  for (int f = 0; f < show.frames(); ++f) {
    const timeline::moment m = show.at(f);
    int nearest = 0;
    for (size_t k = 1; k < known.size(); ++k)
      if (rms(v.frames[static_cast<size_t>(f)], known[k]) < rms(v.frames[static_cast<size_t>(f)], known[static_cast<size_t>(nearest)])) nearest = static_cast<int>(k);
    const bool alone = rms(v.frames[static_cast<size_t>(f)], known[static_cast<size_t>(nearest)]) < 12;
    const bool sparks = m.part == 1 && m.partframe >= effectfirst && m.partframe <= effectlast;
    if (!m.transition() && !sparks) {
      ASSERT_TRUE(alone && nearest == m.part) << "frame " << f << " is not part " << m.part << " alone";
    }
    if (m.transition() && m.step > 0 && m.step < m.steps - 1) {
      EXPECT_FALSE(alone) << "frame " << f << ": a cut";
    }
    if (alone && !sparks) {
      if (nearest != lastalone) {
        ASSERT_EQ(nearest, lastalone + 1) << "frame " << f << ": out of order";
        if (lastalone >= 0) {
          EXPECT_TRUE(between) << "frame " << f << ": a cut into part " << nearest;
        }
        ++seen[static_cast<size_t>(nearest)];
      }
      lastalone = nearest, between = false;
    } else {
      between = true;
    }
  }
  EXPECT_EQ(lastalone, show.slides()) << "the show ends before its last slide";
}

// The frames of a kit: still k as out000k.jpg at 720 x 576.
struct kitframes {
  tempdir dir;
  std::vector<int> fds;
  std::vector<unsigned> numbers;
  explicit kitframes(int n) {
    for (int k = 1; k <= n; ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "out%04d.jpg", k);
      EXPECT_TRUE(patternstill(dir / name, static_cast<unsigned>(k), 720, 576));
      fds.push_back(::open((dir / name).c_str(), O_RDONLY | O_CLOEXEC));
      numbers.push_back(static_cast<unsigned>(k));
    }
  }
  ~kitframes() {
    for (int fd : fds) ::close(fd);
  }
};

TEST(Render, EveryRowAsATransitionBetweenTwoSlides) {
  // Every row once, in a show of 24 slides: 23 transitions.
  kitframes kit(24);
  std::vector<int> allrows;
  for (int r = 1; r <= 23; ++r) allrows.push_back(r);
  renderjob job;
  job.show = timeline(24, allrows);
  job.frames = kit.fds;
  job.output = ::open((kit.dir / "show.mp4").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  job.threads = 2;
  job.title = "A title";
  renderer r(job);
  std::string why, music;
  ASSERT_TRUE(r.prepare(&why)) << why;
  int last = 0;
  ASSERT_TRUE(r.render(
      [&](int done) {
        EXPECT_GT(done, last);
        last = done;
      },
      &why, &music))
      << why;
  EXPECT_EQ(last, job.show.frames());
  ::close(job.output);
  const video v = readvideo(kit.dir / "show.mp4");
  ASSERT_EQ(v.error, "");
  EXPECT_EQ(v.videocodec, "h264");
  EXPECT_EQ(v.audiocodec, "");
  checkframes(v, job.show, kit.numbers);
}

}  // namespace
