#include "video/mux.h"

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "video/descriptorio.h"

namespace {

// libx264's settings, chosen by measurement (bench/video.py, the figures
// in bench/README.md): its superfast preset, at a constant quality of 20;
// tuned for still pictures (detail kept by lighter deblocking, more
// adaptive quantisation). A slide's settled picture is a key frame (where
// a player can seek) with a quantiser settledfiner steps (of 51) finer:
// every picture of its hold repeats it, so its detail is what the viewer
// sees for seconds, and the repeats cost next to nothing. Where every
// picture moves (--motion), the same preset with the rate control that
// follows each block through the next frames (macroblock tree, over a
// lookahead of 10): a detail that drifts then keeps its quality from frame
// to frame instead of flickering, which the eye takes for a tremor (without
// it the dots the benchmark tracks shake twice as much), in a file half as
// large, for less time than the next preset's finer motion search, which
// adds nothing to the drift. The encoder runs half as many threads again as
// it is given processors, as x264 would choose for itself: one waits on the
// next frame while another works.
constexpr const char* x264preset = "superfast";
constexpr const char* x264movingparams = "mbtree=1:rc-lookahead=10";
constexpr const char* x264tune = "stillimage";
constexpr const char* x264quality = "20";
constexpr int settledfiner = 10, h264steps = 51;

}  // namespace

outputstream::~outputstream() { avcodec_free_context(&codec); }

muxer::~muxer() {
  // The encoders go before the file they write into.
  avcodec_free_context(&video_.codec);
  avcodec_free_context(&sound_.codec);
  if (mux_) avformat_free_context(mux_);
  freedescriptorio(&io_);
  av_packet_free(&packet_);
}

bool muxer::openstream(outputstream& s, const char* encoder, AVDictionary** options, std::string* why) {
  if (mux_->oformat->flags & AVFMT_GLOBALHEADER) s.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int code = avcodec_open2(s.codec, s.codec->codec, options);
  if (code < 0) return *why = std::string("cannot open the ") + encoder + " encoder: " + averror(code), false;
  s.stream = avformat_new_stream(mux_, nullptr);
  if (!s.stream || avcodec_parameters_from_context(s.stream->codecpar, s.codec) < 0)
    return *why = "out of memory", false;
  s.stream->time_base = s.codec->time_base;
  return true;
}

bool muxer::open(videoform form, int fd, const frameformat& format, int threads, bool moving, bool sound,
                 std::string* why) {
  form_ = form;
  fd_ = fd;
  format_ = format;
  const bool dvd = form == videoform::mpg;
  const char* container = dvd ? "dvd" : form == videoform::mkv ? "matroska" : "mp4";
  if (avformat_alloc_output_context2(&mux_, nullptr, container, nullptr) < 0)
    return *why = std::string("the media library has no ") + container + " format", false;
  packet_ = av_packet_alloc();
  io_ = descriptorwriter(fd);
  if (!packet_ || !io_) return *why = "out of memory", false;
  mux_->pb = io_;
  mux_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // The mp4's second pass reads back through the same descriptor.
  mux_->opaque = this;
  mux_->io_open = readback;
  mux_->io_close2 = closereadback;

  // The video.
  const char* encoder = dvd ? "mpeg2video" : "libx264";
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (!codec) return *why = std::string("the media library has no ") + encoder + " encoder", false;
  AVCodecContext* v = video_.codec = avcodec_alloc_context3(codec);
  if (!v) return *why = "out of memory", false;
  v->pix_fmt = streampixels;
  tagformat(v, format);
  v->time_base = {1, showrate};
  v->framerate = {showrate, 1};
  v->thread_count = dvd ? std::max(1, threads) : std::max(1, threads * 3 / 2);
  AVDictionary* options = nullptr;
  if (dvd) {
    // A PAL DVD's limits: a GOP of 15 at most, 9.8 Mbit/s at most; PAL in
    // the sequence display extension.
    v->bit_rate = 8000000;
    v->rc_max_rate = 9800000;
    v->rc_buffer_size = 224 * 1024 * 8;
    v->gop_size = 15;
    v->max_b_frames = 2;
    av_dict_set(&options, "video_format", "pal", 0);
  } else {
    av_dict_set(&options, "preset", x264preset, 0);
    if (moving) av_dict_set(&options, "x264-params", x264movingparams, 0);
    av_dict_set(&options, "tune", x264tune, 0);
    av_dict_set(&options, "crf", x264quality, 0);
  }
  const bool opened = openstream(video_, encoder, &options, why);
  av_dict_free(&options);
  if (!opened) return false;
  video_.stream->sample_aspect_ratio = format.aspect;
  video_.stream->avg_frame_rate = v->framerate;

  // The sound: a DVD's video has it always.
  if (sound || dvd) {
    const char* soundencoder = dvd ? "mp2" : "aac";
    codec = avcodec_find_encoder_by_name(soundencoder);
    if (!codec) return *why = std::string("the media library has no ") + soundencoder + " encoder", false;
    AVCodecContext* a = sound_.codec = avcodec_alloc_context3(codec);
    if (!a) return *why = "out of memory", false;
    a->sample_rate = soundrate;
    a->sample_fmt = dvd ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&a->ch_layout, soundchannels);
    a->bit_rate = dvd ? 224000 : 192000;
    a->time_base = {1, soundrate};
    if (!openstream(sound_, soundencoder, nullptr, why)) return false;
    sound_.frame.reset(av_frame_alloc());
    if (!sound_.frame) return *why = "out of memory", false;
  }

  AVDictionary* muxing = nullptr;
  if (dvd) {
    // A DVD's program stream: its full rate and 2 KiB packs, so that the
    // largest picture the encoder's buffer allows reaches the player in time.
    av_dict_set(&muxing, "muxrate", "10080000", 0);
    av_dict_set(&muxing, "packetsize", "2048", 0);
  } else if (form == videoform::mp4) {
    av_dict_set(&muxing, "movflags", "+faststart", 0);
  }
  const int code = avformat_write_header(mux_, &muxing);
  av_dict_free(&muxing);
  if (code < 0) return *why = "cannot write the video: " + averror(code), false;
  return true;
}

int muxer::readback(AVFormatContext* mux, AVIOContext** io, const char*, int flags, AVDictionary**) {
  if (flags & AVIO_FLAG_WRITE) return AVERROR(EPERM);
  *io = descriptorreader(static_cast<muxer*>(mux->opaque)->fd_);
  return *io ? 0 : AVERROR(ENOMEM);
}

int muxer::closereadback(AVFormatContext*, AVIOContext* io) {
  freedescriptorio(&io);
  return 0;
}

bool muxer::encode(outputstream& s, AVFrame* frame, std::string* why) {
  int code = avcodec_send_frame(s.codec, frame);
  while (code >= 0) {
    code = avcodec_receive_packet(s.codec, packet_);
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
    if (code < 0) break;
    av_packet_rescale_ts(packet_, s.codec->time_base, s.stream->time_base);
    packet_->stream_index = s.stream->index;
    code = av_interleaved_write_frame(mux_, packet_);
  }
  *why = "cannot encode the video: " + averror(code);
  return false;
}

bool muxer::writepicture(const AVFrame* picture, bool settled, std::string* why) {
  frameptr f(av_frame_clone(picture));
  if (!f) return *why = "out of memory", false;
  f->pts = video_.next++;
  f->pict_type = AV_PICTURE_TYPE_NONE;
  if (settled && form_ != videoform::mpg) {
    // A key frame, the whole picture one region, its quantiser
    // settledfiner steps finer (libx264 takes the region's offset as a
    // fraction of its steps).
    f->pict_type = AV_PICTURE_TYPE_I;
    AVFrameSideData* side =
        av_frame_new_side_data(f.get(), AV_FRAME_DATA_REGIONS_OF_INTEREST, sizeof(AVRegionOfInterest));
    if (!side) return *why = "out of memory", false;
    auto* region = reinterpret_cast<AVRegionOfInterest*>(side->data);
    region->self_size = sizeof(AVRegionOfInterest);
    region->top = 0, region->bottom = format_.height, region->left = 0, region->right = format_.width;
    region->qoffset = {-settledfiner, h264steps};
  }
  return encode(video_, f.get(), why);
}

AVFrame* muxer::soundframe(int n) {
  AVFrame* f = sound_.frame.get();
  av_frame_unref(f);
  f->format = sound_.codec->sample_fmt;
  f->nb_samples = n;
  f->sample_rate = soundrate;
  if (av_channel_layout_copy(&f->ch_layout, &sound_.codec->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
    return nullptr;
  return f;
}

int muxer::soundframesize() const { return sound_.codec->frame_size; }

bool muxer::writesound(std::string* why) {
  AVFrame* f = sound_.frame.get();
  f->pts = sound_.next;
  sound_.next += f->nb_samples;
  return encode(sound_, f, why);
}

bool muxer::finish(std::string* why) {
  if (!encode(video_, nullptr, why) || (sound_.codec && !encode(sound_, nullptr, why))) return false;
  const int code = av_write_trailer(mux_);
  if (code < 0) return *why = "cannot write the video: " + averror(code), false;
  avio_flush(io_);
  if (io_->error < 0) return *why = "cannot write the video: " + averror(io_->error), false;
  return true;
}
