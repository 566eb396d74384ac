// What this build's media library (libavcodec, libavformat, libavfilter,
// libswscale, libswresample, libavutil) has, which only this module and
// the program it makes, vantrel-render, call.
#pragma once

#include <string>

// Whether this build's media library has what a video needs: the H.264
// (libx264), MPEG-2, AAC and MP2 encoders and the xfade filter. If not,
// *why names what is missing.
bool canrender(std::string* why);
