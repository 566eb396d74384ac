// Where a moving slide's window lies in its picture (--motion): the part of
// the picture its box shows at each moment. The picture is motionmargin
// (script/timeline.h) times its box each way, and the window lies between
// the whole picture (a zoom of 1) and a motionzoom'th of it, so the box
// always shows a reduction of the picture, never an enlargement, and only
// the picture: nothing but the photo.
//
// A slide moves for all its time on screen, its transitions included, along
// a path eased at both ends (half a cosine), so that it starts and stops
// without a jolt; positions are never rounded.
#pragma once

#include "script/timeline.h"

struct window {
  double left, top, width, height;  // in the picture's pixels
};

// The window of a picture of width x height at t (0 ... 1) of the slide's
// time on screen.
window windowat(const slidemotion& motion, double t, double width, double height);
