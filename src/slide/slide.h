// One camera still to one slide, in two halves. makeframe does the image
// work: it loads the still from its bytes, brings it to the 720 x 576 frame
// and encodes the frame as a JPEG; it runs in a worker process, since a
// crafted still can crash the image library. processimage takes what
// makeframe made, logs it, saves the frame as out<NNNN>.jpg under the next
// slide number and appends the slide's clip line to the script.
//
// A portrait still (taller than wide) is scaled to portraitwidth() x 576 and
// centred on black; anything else is stretched to 720 x 576.
#pragma once

#include <cstddef>
#include <cstdint>
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

enum class slidestate : uint32_t { framed, unloadable, toolarge, unscalable, unencodable };

// What became of one still.
struct slideresult {
  slidestate state = slidestate::unloadable;
  unsigned width = 0;   // as loaded; for toolarge, as the still claims
  unsigned height = 0;
  std::string reason;   // why not, in plain words
  std::string jpeg;     // the frame, when framed
};

// The image work for the still `name` (the name picks the loader, as for a
// file) whose bytes are data[0, size).
slideresult makeframe(const char* name, const void* data, size_t size);

// Where a slide's progress lines and clip line go.
struct slidestreams {
  std::ostream& log;
  std::ostream& script;
};

// Makes slide `counter` from what makeframe made of the still `name` and
// advances the counter. A still that could not be loaded, scaled or saved
// leaves no image and no clip line, does not advance the counter, so the
// next still takes its number, and returns false with *failure saying
// which file failed and why.
bool processimage(int& counter, const char* name, const slideresult& made, const slidestreams& out,
                  std::string* failure);

// Writes a frame under path, replacing an older file of that name. A frame
// that cannot be written whole leaves nothing under the name.
bool writeframe(const std::string& path, const std::string& jpeg, std::string* reason);
