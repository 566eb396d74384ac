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
  explicit picturestore(const picturewish& wish) : wish_(wish) {}
  ~picturestore();
  picturestore(const picturestore&) = delete;
  picturestore& operator=(const picturestore&) = delete;

  const picturewish& wish() const { return wish_; }
  // Makes the file in folder. False, with failure() saying why, if it
  // cannot be.
  bool open(const std::string& folder);
  // Whether a worker's picture is the one the wish asks of the still it
  // made (its size the box of the photo's upright size, its bytes that
  // size's): anything else is no picture a sound worker sends.
  bool expected(const slideresult& made) const;
  // Appends a slide's picture, the next slide's. A picture that cannot be
  // written is no fault of the still's: failure() says why, and no later
  // picture is kept.
  void add(const slideresult& made);

  // Why there are no pictures for the video ("" while there are).
  const std::string& failure() const { return failure_; }
  int fd() const { return fd_; }
  const std::vector<picturespan>& spans() const { return spans_; }

 private:
  picturewish wish_;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<picturespan> spans_;
  std::string failure_;
};
