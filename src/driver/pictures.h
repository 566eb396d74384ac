// The pictures of a video in a frame of its own size (--size 720p ...):
// each slide's, as its worker made it (slide.h's picturewish), kept as the
// slides are made in a file of no name beside the video, for the render to
// read one at a time. So a run holds no more of them than the pool has in
// hand, however many stills there are, and leaves nothing behind.
#pragma once

#include <string>
#include <vector>

#include "slide/slide.h"
#include "worker/renderwire.h"

class picturestore {
 public:
  picturestore() = default;
  ~picturestore();
  picturestore(const picturestore&) = delete;
  picturestore& operator=(const picturestore&) = delete;

  // Makes the file in folder. False, with *why, if it cannot be.
  bool open(const std::string& folder, std::string* why);
  // Whether a worker's picture is the one wish asks of the still made (its
  // size the box of the photo's upright size), which is all that is kept.
  static bool expected(const slideresult& made, const picturewish& wish);
  // Appends slide's picture. False, with *why, if it cannot be written.
  bool add(const slideresult& made, std::string* why);

  int fd() const { return fd_; }
  const std::vector<picturespan>& spans() const { return spans_; }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<picturespan> spans_;
};
