// The show as a video (--video FILE): after the kit is committed, its
// frames are rendered into FILE by a process of its own (worker/job.h),
// locked in (lockdownrender), that is handed descriptors for the frames,
// the music and the output. The video is written under no name, or a
// temporary one beside FILE, and put in place only when whole, flushed
// with its folder (kit/folder.h, draftfile): a failure, an interruption or
// a kill leaves nothing under FILE. Copies that runs cut short left beside
// FILE go first, each named on standard error. On a terminal, one
// progress line on standard error, rewritten in place.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "base/frame.h"
#include "kit/avi.h"
#include "script/timeline.h"
#include "slide/slide.h"

class interruptguard;
class picturestore;

struct videooptions {
  std::string file;  // where the video goes, absolute; empty: no video
  videosize size = videosize::pal;
  bool motion = false;  // every slide moves (--motion)
  std::string shown;    // its name as the user gave it, for messages
  std::string title;    // the title card's text; empty: the folder's name
  std::string music;    // the music file, absolute; empty: none
};

// Why FILE cannot be a video ("" if it can): a build that cannot render
// video, or an extension that names no form.
std::string videoproblem(const std::string& file);

// The size a video of FILE takes by --size SIZE (empty: its form's
// default, 1080p, and pal for a .mpg, a PAL DVD's); false, with *why, for
// a size that names none, or is not a DVD's.
bool videosizeof(const std::string& file, const std::string& size, videosize* chosen, std::string* why);

// Why the video cannot be put under FILE ("" if it can), asked before the
// run makes anything: a later run would take its name for a camera still's
// (listing.h's isstill), its folder is not there or cannot be written, or a
// folder holds the name.
std::string videoplaceproblem(const std::string& file);
// Why FILE cannot be the show's music ("" if it can), asked before the run
// makes anything: it cannot be opened as the render opens it (base/io.h's
// openregular), or it is no regular file (a FIFO, a device or a folder,
// which are never waited on).
std::string musicproblem(const std::string& file);

// Renders the show of the kit's frames (one a slide, where spans says they
// lie in the kit's video, joined by rows), or of their pictures for a size
// other than PAL or a show that moves (each slide as motions says), into
// options.file. False, with the reasons reported on
// err, if the video could not be made or was made without its music.
bool makevideo(const videooptions& options, const std::vector<framespan>& spans, const std::vector<int>& rows,
               const std::vector<slidemotion>& motions, const picturestore* pictures, interruptguard& guard,
               std::ostream& log, std::ostream& err);

// The pictures a video of these options wants of the workers (none for a
// PAL video that stays still, which shows the kit's frames): for its size's
// frame, or where the kit's frame puts the photo (stretched, or fitted with
// --fit) for a PAL one, as large again as its motion needs.
picturewish pictureswanted(const videooptions& options, bool fit);

// "4,512 of 16,230 frames (27 %), 0:41 left" and the like.
std::string progressline(const std::string& name, int done, int total, double secondsleft);
