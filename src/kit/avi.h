// outhuffy.avi, the video the script opens on its first source line: one
// Motion JPEG frame a slide, 720 x 576 at 25 frames a second, each frame
// the bytes of its out0001.jpg, out0002.jpg ... exactly. Windows decodes
// Motion JPEG itself, so the script loads with no codec installed.
//
// The file is written as the slides come, never holding more than one
// frame: an AVI 1.0 RIFF with the 4:3 display aspect in its video
// properties (vprp) and an idx1 index. Once the first RIFF would pass
// rifflimit (1 GiB), the file goes on in OpenDML form: further AVIX RIFFs,
// a standard index (ix00) at the end of each RIFF's movi list and a super
// index (indx) in the header, as 10,000 slides may need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/frame.h"
#include "base/io.h"

constexpr uint64_t avirifflimit = uint64_t{1} << 30;

// Where one frame's bytes lie in the file.
using framespan = filespan;

class aviwriter {
 public:
  // Writes to fd, a new empty file, from its start, frames of `size` (the
  // kit's: base/frame.h's PAL frame, as the driver says) at framerate;
  // leaves fd open. limit is the most bytes a RIFF may take (a seam: tests
  // reach it with small frames).
  aviwriter(int fd, framesize size, uint64_t limit = avirifflimit);
  aviwriter(const aviwriter&) = delete;
  aviwriter& operator=(const aviwriter&) = delete;

  // Appends one frame. False, with *reason, if it could not be written.
  bool addframe(const std::string& jpeg, std::string* reason);
  // Writes the indexes and fills in the counts and sizes the headers left
  // open. False, with *reason, if that could not be written.
  bool finish(std::string* reason);

  // Every frame written so far, in order, and the file's size.
  const std::vector<framespan>& spans() const { return spans_; }
  uint64_t size() const { return at_; }

 private:
  struct entry {
    uint64_t offset;  // where the chunk's header starts in the file
    uint32_t size;    // its data's size
  };
  bool append(const std::string& bytes, std::string* reason);
  bool patch(uint64_t at, const std::string& bytes, std::string* reason);
  // Ends the current RIFF: its standard index (OpenDML), its movi list and,
  // for the first, the idx1 index.
  bool closeriff(bool opendml, std::string* reason);

  int fd_;
  framesize size_;
  uint64_t limit_;
  uint64_t at_ = 0;          // bytes written so far
  uint64_t riffstart_ = 0;   // where the current RIFF begins
  uint64_t movistart_ = 0;   // where the current movi list begins
  std::vector<entry> riff_;  // the current RIFF's frames
  std::vector<framespan> spans_;
  struct superentry {
    uint64_t offset;
    uint32_t size;
    uint32_t frames;
  };
  std::vector<superentry> super_;
  uint32_t largest_ = 0;
  // The first RIFF, once it is closed: its frames and sizes.
  bool firstclosed_ = false;
  int firstframes_ = 0;
  uint64_t firstriffsize_ = 0;
  uint64_t firstmovisize_ = 0;
  std::string error_;  // the first write's failure
};
