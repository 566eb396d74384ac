#include "video/music.h"

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include "video/descriptorio.h"
#include "video/format.h"

bool decodemusic(int fd, int64_t samples, std::vector<int16_t>* music, std::string* problem) {
  AVFormatContext* in = avformat_alloc_context();
  AVIOContext* io = descriptorreader(fd);
  AVCodecContext* dec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* pkt = av_packet_alloc();
  frameptr frame(av_frame_alloc());
  int stream = -1, code = 0;
  std::string what;
  const size_t wanted = static_cast<size_t>(samples) * soundchannels;
  music->clear();
  if (!in || !io || !pkt || !frame) {
    code = AVERROR(ENOMEM);
  } else {
    in->pb = io;
    in->flags |= AVFMT_FLAG_CUSTOM_IO;
    code = avformat_open_input(&in, nullptr, nullptr, nullptr);
    if (code >= 0) code = avformat_find_stream_info(in, nullptr);
    const AVCodec* codec = nullptr;
    if (code >= 0) stream = code = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (code == AVERROR_STREAM_NOT_FOUND) what = "holds no sound";
    if (code >= 0 && !(dec = avcodec_alloc_context3(codec))) code = AVERROR(ENOMEM);
    if (code >= 0) code = avcodec_parameters_to_context(dec, in->streams[stream]->codecpar);
    if (code >= 0) code = avcodec_open2(dec, codec, nullptr);
    AVChannelLayout stereo;
    av_channel_layout_default(&stereo, soundchannels);
    if (code >= 0 && dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&dec->ch_layout, dec->ch_layout.nb_channels);
    if (code >= 0)
      code = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, soundrate, &dec->ch_layout, dec->sample_fmt,
                                 dec->sample_rate, 0, nullptr);
    if (code >= 0) code = swr_init(swr);
    bool ended = false;
    while (code >= 0 && music->size() < wanted && !ended) {
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
        const size_t at = music->size();
        music->resize(at + static_cast<size_t>(room) * soundchannels);
        auto* out = reinterpret_cast<uint8_t*>(music->data() + at);
        const int got =
            swr_convert(swr, &out, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        music->resize(at + static_cast<size_t>(std::max(got, 0)) * soundchannels);
        if (got < 0) code = got;
      }
    }
    if (code >= 0 && music->empty()) what = "holds no sound";
  }
  if (code < 0 && what.empty()) what = code == AVERROR_INVALIDDATA ? "not audio, or damaged" : averror(code);
  if (music->size() > wanted) music->resize(wanted);
  swr_free(&swr);
  avcodec_free_context(&dec);
  av_packet_free(&pkt);
  avformat_close_input(&in);
  freedescriptorio(&io);
  if (what.empty()) return true;
  music->clear();
  *problem = what;
  return false;
}

soundtrack::soundtrack(std::vector<int16_t> music, int64_t samples, int64_t fade)
    : music_(std::move(music)), samples_(samples), fade_(fade) {}

void soundtrack::fill(AVFrame* frame, int64_t at) const {
  const int64_t length = static_cast<int64_t>(music_.size() / soundchannels);
  for (int i = 0; i < frame->nb_samples; ++i) {
    const int64_t t = at + i;
    float left = 0, right = 0;
    if (length > 0) {
      const size_t k = static_cast<size_t>(t % length) * soundchannels;
      const float gain = t >= samples_ - fade_ ? float(samples_ - t) / fade_ : 1.0f;
      left = music_[k] * gain, right = music_[k + 1] * gain;
    }
    if (frame->format == AV_SAMPLE_FMT_S16) {
      auto* s = reinterpret_cast<int16_t*>(frame->data[0]);
      s[2 * i] = static_cast<int16_t>(left), s[2 * i + 1] = static_cast<int16_t>(right);
    } else {
      reinterpret_cast<float*>(frame->data[0])[i] = left / 32768.0f;
      reinterpret_cast<float*>(frame->data[1])[i] = right / 32768.0f;
    }
  }
}
