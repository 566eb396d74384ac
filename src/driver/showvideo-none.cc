// The video in a build without the media library (Windows): --video is
// refused on the command line, and nothing is ever rendered.
#include "base/text.h"
#include "driver/report.h"
#include "driver/showvideo.h"

std::string videoproblem(const std::string&) {
  return "this build cannot render video; the script anim.avs, run by AviSynth, is the road to one";
}

bool makevideo(const videooptions& options, const std::vector<framespan>&, const std::vector<int>&,
               const std::vector<slidemotion>&, const picturestore*, interruptguard&, std::ostream& log,
               std::ostream& err) {
  reportfailure(log, err, escapedname(options.shown) + ": this build cannot render video");
  return false;
}
