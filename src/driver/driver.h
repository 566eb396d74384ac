// src/driver/ (this folder): the run, and everything it asks of the user's
// folder and console: the command line and the process entry (entry.h),
// the listing of the stills (listing.h), the worker settings it starts
// (workers.h), committing slides in order (commit.h), the show it decides
// once and hands to the kit (kit/kit.h) and the video it renders
// (showvideo.h), with the pictures the workers make for it (pictures.h),
// and the console (console.h). What it does to the user's folder goes
// through the kit's folder.h.
//
// The run: one pass over a folder, from the banner to the wait for a key.
//
// Every entry of the folder is logged; the stills (names that begin with
// "DSC" and contain ".JPG", case-sensitive) become slides in byte-wise name
// order. The image work is spread over worker processes (src/worker); the
// driver alone opens the stills and has the kit write the frames and the
// script (kit/kit.h, kit/folder.h), committing the slides strictly in list
// order (commit.h).
//
// The folder holds one kit: a run holds the folder against a second run
// from before it writes anything, writes the new frames and script
// beside the old kit and puts them in place whole at the end, and then
// removes the frames of an earlier run numbered beyond its last slide. A
// run that dies, or fails for a reason of its own (the script or a frame
// cannot be written, no worker can start, no descriptors or memory are
// left), leaves the old kit as it was.
//
// An interruption (interrupt.h) ends a run early between two steps: no
// more stills are handed out, the workers are ended, the kit of the slides
// made so far is put in place, and the process then ends by that signal.
#pragma once

#include <ostream>
#include <string>

#include "driver/showvideo.h"
#include "kit/folder.h"
#include "script/script.h"

// Exit statuses of a run.
constexpr int runcomplete = 0;    // every still became a slide, the script was written
constexpr int runrefused = 1;     // refused: a mistake on the command line, a folder that cannot be opened or is busy
constexpr int runincomplete = 2;  // a still or the log failed, or the run failed and left the kit as it was

struct runoptions {
  // Where to run; empty: the current folder.
  std::string folder;
  // Whether the log is a terminal, where names are shown escaped.
  bool escapelog = false;
  // Whether the frames show each photo whole in its true shape (slide.h's
  // makefitframe) rather than stretched to the frame.
  bool fit = false;
  // The show as a video too, and what the script's card and music say.
  videooptions video;
  scriptoptions script;
};

// Runs and returns the exit status; an interrupted run ends the process.
int runslideshow(const runoptions& options, std::ostream& log, std::ostream& err);
