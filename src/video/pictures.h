// The pictures the render makes itself, each composed (format.h's
// composepixels) in the video's format: a kit frame decoded from its JPEG,
// slide 1's opening sparks, and the title card.
#pragma once

#include <string>
#include <vector>

#include "video/format.h"

// A kit frame's JPEG as a picture: JPEG's full range and BT.601 matrix
// brought to the format's. Null, with *why, if it cannot be decoded.
frameptr decodeframe(const std::string& jpeg, const frameformat& format, std::string* why);

// A photo's own picture for a frame of its size (slide/picture.h: planar
// YUV 4:2:0 of width x height, in the format's matrix and range), centred
// on black. Null, with *why, if it cannot be.
frameptr composephoto(const std::string& yuv, int width, int height, const frameformat& format, std::string* why);

// Slide 1's opening effect drawn over its picture: sparks rising from the
// bottom edge and fading, the same every run; frame is timeline.h's
// effectfirst ... effectlast.
void drawsparks(AVFrame* picture, int frame, const frameformat& format);

// The title card: each line centred on its own row, white on black. The
// text engine (libass) shapes each line (joined letters, right to left
// where the script runs so) and takes each character from the first font
// fontconfig finds that has it, from a sans-serif one on. The text is the
// user's, never markup. It opens fonts: draw it before the render locks
// itself in. Null, with *why, where no font at all can be found.
frameptr drawtitle(const std::vector<std::string>& lines, const frameformat& format, std::string* why);

// The font the card is set in where fontconfig finds none (Debian's
// fonts-dejavu-core puts it there).
extern const char titlefallbackfont[];  // /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

// The card's text size and the distance between its lines' centres, in
// rows of a 576-row picture (others scale them).
constexpr int titlesize = 36, titlespacing = 48;
