// Committing a slide: what a worker made of one still becomes the next
// slide of the run, in the driver, strictly in list order.
#pragma once

#include <ostream>
#include <string>

#include "slide/slide.h"

// Where a slide's progress lines and clip line go.
struct slidestreams {
  std::ostream& log;
  std::ostream& script;
};

// Makes slide `counter` from what makeframe made of the still `name`: logs
// it, saves the frame as out<NNNN>.jpg, appends the slide's clip line to the
// script and advances the counter. A still that could not be loaded, scaled
// or saved leaves no frame and no clip line, does not advance the counter,
// so the next still takes its number, and returns false with *failure
// saying which file failed and why.
bool processimage(int& counter, const char* name, const slideresult& made, const slidestreams& out,
                  std::string* failure);
