// The show the script describes, frame by frame, for whatever renders it
// apart from the frame server (the video): the title card of 101 frames,
// dissolved over 10 frames into slide 1, which is on screen twice over
// (its opening clip with the effect, then its clip), then every further
// slide held `exposition` frames, each joined to the one before by the
// transition of its row of the table, over that row's frames. Where two
// parts meet, the overlap is shared: the show's length is the sum of the
// holds less the sum of the overlaps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/frame.h"

constexpr int showrate = framerate;              // frames a second (base/frame.h)
constexpr int showexposition = 150;              // frames a slide is held, its transitions included
constexpr int showoverlap = 20;                  // frames of most transitions
constexpr int titleframes = 101;                 // BlankClip(video.trim(0,100))
constexpr int titledissolve = 10;                // Dissolve(credstart,video,10)
constexpr int effectfirst = 1, effectlast = 50;  // the opening effect's frames of slide 1's first clip

// The frames of a transition of row 1 ... 23: overlap, overlap/3 for the
// sprite rows, 3 seconds for the flip turn's -3.
int transitionframes(int row);

// The rows of the transitions into slides 2 ... N, drawn with draw() % 23 + 1.
std::vector<int> drawrows(int slides, const std::function<int()>& draw);

// How a slide moves while it is on screen (--motion, the video's alone):
// a slow zoom in or out, a pan across part of the photo, or a zoom in that
// drifts toward one side; toward one of the eight directions, 0 to the
// right, then a quarter turn further for each two. Drawn once a run, with
// the rows.
struct slidemotion {
  enum class kind : uint8_t { zoomin, zoomout, pan, zoompan } how = kind::zoomin;
  uint8_t direction = 0;  // 0 ... 7
};
constexpr int motionkinds = 4, motiondirections = 8;
// How much larger than its box a picture that moves is prepared, each way,
// and how far a slide zooms into it: from the whole picture to a tenth
// closer. So the box always shows a reduction of the picture, by a ninth
// at least, never the picture pixel for pixel, where a resampling filter
// moves a detail's centre back and forth by a few hundredths of a pixel as
// it crosses the pixels.
constexpr double motionmargin = 1.2, motionzoom = 1.1;

// The motions of slides 1 ... N, drawn with draw() as drawrows draws rows.
std::vector<slidemotion> drawmotions(int slides, const std::function<int()>& draw);

class timeline {
 public:
  // rows[i] joins slide i + 1 to slide i + 2; there are slides - 1 of them
  // (none for no slides).
  timeline(int slides, std::vector<int> rows);

  int slides() const { return slides_; }
  int frames() const { return frames_; }
  const std::vector<int>& rows() const { return rows_; }

  // What a frame shows: part `part` (0 the title card, k slide k) at its
  // own frame `partframe`, and while a transition runs, also the next part
  // at step `step` (its frame too) of `steps`, by row `row` (0: the title's
  // dissolve).
  struct moment {
    int part = 0, partframe = 0;
    int step = -1, steps = 0, row = 0;
    bool transition() const { return step >= 0; }
  };
  moment at(int frame) const;

  // Where part k starts in the show, and how long it lasts (its hold).
  int start(int part) const { return starts_[static_cast<size_t>(part)]; }
  int hold(int part) const;
  // The frames of the transition out of part k into part k + 1.
  int overlapafter(int part) const;

 private:
  int slides_;
  std::vector<int> rows_;
  std::vector<int> starts_;
  int frames_ = 0;
};

// The title's lines as both the script's card and the video show them:
// words wrapped at `width` characters (a longer word is cut), control
// characters as spaces, the text's own line breaks kept.
std::vector<std::string> titlelines(std::string_view text, size_t width = 32);
