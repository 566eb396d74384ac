#include "videoread.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

double blockdistance(const blocksignature& a, const blocksignature& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum / a.size());
}

videofile readvideo(const std::string& path, const std::function<void(const unsigned char* rgb)>& eachframe,
                    bool native) {
  av_log_set_level(AV_LOG_ERROR);
  videofile v;
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
    auto named = [](const char* name) { return std::string(name ? name : "?"); };
    v.matrix = named(av_color_space_name(p->color_space));
    v.primaries = named(av_color_primaries_name(p->color_primaries));
    v.transfer = named(av_color_transfer_name(p->color_trc));
    v.range = named(av_color_range_name(p->color_range));
    v.fps = in->streams[vs]->avg_frame_rate;
    v.bitrate = p->bit_rate;
  }
  if (as >= 0)
    v.audiorate = in->streams[as]->codecpar->sample_rate,
    v.audiochannels = in->streams[as]->codecpar->ch_layout.nb_channels;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<unsigned char> rgbdata(720 * 576 * 3), nativedata;
  SwsContext *sws = nullptr, *nativesws = nullptr;
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
        for (int c = 0; c < frame->ch_layout.nb_channels && frame->format == AV_SAMPLE_FMT_S16P; ++c)
          for (int k = 0; k < frame->nb_samples; ++k)
            level += std::fabs(reinterpret_cast<int16_t*>(frame->data[c])[k] / 32768.0);
        continue;
      }
      if (frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I) sincekey = 0;
      v.gop = std::max(v.gop, ++sincekey);
      sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), 720, 576,
                                 AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
      uint8_t* planes[1] = {rgbdata.data()};
      int strides[1] = {720 * 3};
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
      blocksignature s;
      constexpr unsigned bw = 720 / signaturecolumns, bh = 576 / signaturerows;
      for (unsigned b = 0; b < signaturecolumns * signaturerows; ++b) {
        double sum[3] = {0, 0, 0};
        unsigned count = 0;
        const unsigned x0 = b % signaturecolumns * bw, y0 = b / signaturecolumns * bh;
        for (unsigned y = y0 + bh / 4; y < y0 + 3 * bh / 4; y += 2)
          for (unsigned x = x0 + bw / 4; x < x0 + 3 * bw / 4; x += 2, ++count)
            for (unsigned c = 0; c < 3; ++c) sum[c] += rgbdata[(size_t{y} * 720 + x) * 3 + c];
        for (unsigned c = 0; c < 3; ++c) s[3 * b + c] = sum[c] / count;
      }
      v.frames.push_back(s);
      if (eachframe && native) {
        // In the frame's own colours, whatever they are tagged.
        nativesws =
            sws_getCachedContext(nativesws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                 frame->width, frame->height, AV_PIX_FMT_RGB24,
                                 SWS_BILINEAR | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        const int* matrix = sws_getCoefficients(frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
        sws_setColorspaceDetails(nativesws, matrix, frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0, matrix, 1, 0,
                                 1 << 16, 1 << 16);
        nativedata.resize(size_t{3} * frame->width * frame->height);
        uint8_t* to[1] = {nativedata.data()};
        const int stride[1] = {3 * frame->width};
        sws_scale(nativesws, frame->data, frame->linesize, 0, frame->height, to, stride);
        eachframe(nativedata.data());
      } else if (eachframe) {
        eachframe(rgbdata.data());
      }
    }
  };
  while (av_read_frame(in, packet) >= 0) {
    const int i = packet->stream_index == vs ? 0 : packet->stream_index == as ? 1 : -1;
    if (i >= 0 && dec[i] && avcodec_send_packet(dec[i], packet) >= 0) drain(i);
    av_packet_unref(packet);
  }
  for (int i = 0; i < 2; ++i)
    if (dec[i]) avcodec_send_packet(dec[i], nullptr), drain(i);
  // MPEG-2 carries its rate in the sequence header, which the decoder reads.
  if (dec[0] && v.bitrate == 0) v.bitrate = std::max(dec[0]->bit_rate, dec[0]->rc_max_rate);
  v.videoseconds = v.fps.num ? v.frames.size() * av_q2d(av_inv_q(v.fps)) : 0;
  if (v.audiorate) v.audioseconds = double(audiosamples) / v.audiorate;
  if (audiosamples) v.audiolevel = level / audiosamples / 2;
  sws_freeContext(sws);
  sws_freeContext(nativesws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  for (auto& d : dec) avcodec_free_context(&d);
  avformat_close_input(&in);
  return v;
}
