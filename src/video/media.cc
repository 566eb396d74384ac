#include "video/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
}

bool canrender(std::string* why) {
  std::string missing;
  for (const char* encoder : {"libx264", "mpeg2video", "aac", "mp2"})
    if (!avcodec_find_encoder_by_name(encoder))
      missing += std::string(missing.empty() ? "" : ", ") + encoder + " encoder";
  if (!avfilter_get_by_name("xfade")) missing += std::string(missing.empty() ? "" : ", ") + "xfade filter";
  if (missing.empty()) return true;
  *why = "the media library has no " + missing;
  return false;
}
