// The video file: the container of the video's form (render.h's
// videoform) on the descriptor the render was handed, with one
// outputstream a stream (its encoder and the container's stream, as the
// media library's muxing example keeps them). Every stream is tagged with
// the video's format (format.h): its colours in the H.264 stream's VUI or
// the MPEG-2 sequence display extension, and in the container. An mp4 has
// its index before its data (faststart), so that a browser plays it as it
// loads: at the end the muxer reads back what it wrote, through a second
// context on the same descriptor (descriptorio.h), and writes it further on.
#pragma once

#include <cstdint>
#include <string>

#include "video/format.h"
#include "video/render.h"

struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;

// One stream of the file.
struct outputstream {
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  frameptr frame;    // the sound's, refilled for each packet of samples
  int64_t next = 0;  // the time of the next frame, in the encoder's time base
  ~outputstream();
};

class muxer {
 public:
  muxer() = default;
  ~muxer();
  muxer(const muxer&) = delete;
  muxer& operator=(const muxer&) = delete;

  // Opens the file on fd (new, empty, seekable) with its video stream, for
  // pictures that move where `moving`, and a sound stream where `sound`,
  // and writes its header. False, with *why.
  bool open(videoform form, int fd, const frameformat& format, int threads, bool moving, bool sound, std::string* why);
  bool hassound() const { return sound_.codec != nullptr; }

  // The next picture (streampixels). `settled` marks a slide's first
  // picture held still, the one every later picture of its hold repeats:
  // an H.264 stream makes it a key frame of more detail, which they all
  // keep.
  bool writepicture(const AVFrame* picture, bool settled, std::string* why);
  // A frame for the next n samples of sound, in the encoder's own format
  // (null without memory), and the encoder's frame size; then write it.
  AVFrame* soundframe(int n);
  int soundframesize() const;
  bool writesound(std::string* why);

  // Drains the encoders, writes the file's end (and moves an mp4's index)
  // and flushes it. False, with *why.
  bool finish(std::string* why);

 private:
  bool openstream(outputstream& s, const char* encoder, AVDictionary** options, std::string* why);
  bool encode(outputstream& s, AVFrame* frame, std::string* why);
  static int readback(AVFormatContext* mux, AVIOContext** io, const char* url, int flags, AVDictionary** options);
  static int closereadback(AVFormatContext* mux, AVIOContext* io);

  videoform form_ = videoform::mp4;
  int fd_ = -1;
  frameformat format_{};
  AVFormatContext* mux_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  outputstream video_, sound_;
};
