// The show rendered as a video: the frames of the kit, the script's
// timeline (timeline.h), the title card and the music, encoded into one
// file.
//
// Each frame of the kit is decoded once; a held frame goes to the encoder
// as the same picture, and only the transitions (the media library's xfade
// filter), slide 1's opening sparks and the ending make pictures of their
// own. The title card is drawn once, each character in a font that has it.
// The show ends fading to black over its last endingframes frames, as its
// music fades to silence. The frames are made on a thread of their own, a
// few ahead of the encoder (framequeue.h).
//
// Everything that opens a file (the fonts, the encoders) happens in
// prepare(); render() reads and writes only the descriptors it was handed,
// so that it can run locked in (sandbox.h's lockdownrender).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/io.h"
#include "script/timeline.h"
#include "worker/renderwire.h"

// The show's ending, 3 s: its pictures fade to black, its music to silence.
constexpr int endingframes = 3 * showrate;

// The name of the transition of the media library's xfade filter that
// renders row 1 ... 23 of the script's table.
const char* xfadename(int row);

// What vantrel asks of the render (worker/renderwire.h: the frames in the
// kit's video, the pictures, the motions, the music, the output, ...), and
// the show's timeline, drawn from its rows.
struct renderjob : renderrequest {
  timeline show{0, {}};
};

class renderer {
 public:
  explicit renderer(renderjob job);
  ~renderer();
  renderer(const renderer&) = delete;
  renderer& operator=(const renderer&) = delete;

  // The title card, the encoders and the file's header. False, with *why.
  bool prepare(std::string* why);
  // Every frame and the sound; progress(frames done) now and then. False,
  // with *why, if the video cannot be made. Music that cannot be used
  // leaves the video silent and says why in *musicproblem.
  bool render(const std::function<void(int done)>& progress, std::string* why, std::string* musicproblem);

 private:
  struct state;
  std::unique_ptr<state> s_;
};
