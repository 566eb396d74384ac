// The music: decoded from the descriptor the render was handed, whatever
// its form, and resampled to the video's sound (format.h), then the sound
// track made of it: looped to the show's length, fading out over its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

// The music on fd as interleaved stereo samples at soundrate, at most
// `samples` of them (a pair each). False, with *problem in words
// ("holds no sound", "not audio, or damaged" ...), where it cannot be used.
bool decodemusic(int fd, int64_t samples, std::vector<int16_t>* music, std::string* problem);

// The sound track: `samples` long, the music (none: silence) from its
// start, again and again, its level falling evenly to nothing over the
// last `fade` samples.
class soundtrack {
 public:
  soundtrack(std::vector<int16_t> music, int64_t samples, int64_t fade);
  // frame->nb_samples samples from sample `at` on, in the frame's own
  // format: interleaved 16-bit or planar float.
  void fill(AVFrame* frame, int64_t at) const;
  int64_t samples() const { return samples_; }

 private:
  std::vector<int16_t> music_;
  int64_t samples_, fade_;
};
