// What the run's workers do: the image work of a still (slide.h), each in
// a worker process (src/worker) under its sandbox and memory limit. The
// settings are found again by name in a worker that is a fresh process of
// this program (serveifworker).
#pragma once

#include <string>

#include "slide/slide.h"
#include "worker/subprocess.h"

// The still stretched to the frame (makeframe).
const workersettings& frameworker();
// The same, with each photo whole in its true shape (--fit, makefitframe).
const workersettings& fitframeworker();
// Either, with the picture wish asks for besides each frame (a video in a
// frame of its own size), from the same decode. Where workers are fresh
// processes of this program (Windows, which makes no video) there are none.
workersettings pictureworker(bool fit, const picturewish& wish);
// The settings of that name, or none.
const workersettings* findworker(const std::string& name);
