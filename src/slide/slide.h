// One camera still to one slide: processimage loads the still, brings it to
// the 720 x 576 frame, saves it as out<NNNN>.jpg under the next slide number
// and appends the slide's clip line to the script.
//
// A portrait still (taller than wide) is scaled to portraitwidth() x 576 and
// centred on black; anything else is stretched to 720 x 576.
#pragma once

#include <ostream>
#include <string>

constexpr unsigned framewidth = 720;
constexpr unsigned frameheight = 576;

// The width a portrait still gets: 640 / (height / width), each division
// rounded to a 64-bit significand, truncated, and never below 1 so that
// the library is not asked for an empty image.
unsigned portraitwidth(unsigned width, unsigned height);

// "out" + the slide number padded with zeros to four digits + ".jpg".
std::string slidename(int slide);

// Where a slide's messages and clip line go.
struct slidestreams {
  std::ostream& log;     // progress lines
  std::ostream& err;     // one line per failure
  std::ostream& script;  // the clip lines
};

// Writes "vantrel: <message>" on err, after flushing log so that a terminal
// shows both in the order they happened.
void reportfailure(std::ostream& log, std::ostream& err, const std::string& message);

// Makes slide `counter` from the still `name` and advances the counter. A
// still that cannot be loaded, scaled or saved gets one line on err, leaves
// no image and no clip line, and does not advance the counter, so the next
// still takes its number. Returns whether the slide was made.
bool processimage(int& counter, const char* name, const slidestreams& out);
