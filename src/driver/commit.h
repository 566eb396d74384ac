// Committing a slide: what a worker made of one still becomes the next
// slide of the run, in the driver, strictly in list order.
#pragma once

#include <ostream>
#include <string>

#include "driver/pictures.h"
#include "kit/kit.h"
#include "slide/slide.h"

// Where a slide's progress lines and problems go.
struct slidestreams {
  std::ostream& log;
  std::ostream& err;
  // Whether names in the log are shown escaped (the log is a terminal).
  bool escapelog = false;
};

enum class commitment { slide, skipped, stopped };

// Commits slide `counter` from what makeframe made of the still `name` (its
// log line says "processimage:", as it always has): logs
// it, passes on what its worker wrote on its standard error (diagnostics),
// saves the frame into the run's kit (and, where a video of its own size
// is made, its picture into pictures) and advances the counter: a slide. A
// still that could not be loaded or scaled is reported on err, by name,
// leaves no frame and does not advance the counter, so the next still takes
// its number: skipped. A frame that cannot be saved is no fault of the
// still's but the run's, which stops: *failure says why.
commitment commitslide(int& counter, const std::string& name, const slideresult& made, const std::string& diagnostics,
                       const slidestreams& out, kit& frames, picturestore* pictures, std::string* failure);
