// The EXIF orientation of a photo: how a viewer turns or mirrors the stored
// pixels to show it upright, as the camera recorded it.
//
//   1 as stored            5 mirrored across the top-left diagonal
//   2 mirrored left-right  6 turned a quarter clockwise
//   3 turned half a turn   7 mirrored across the other diagonal
//   4 mirrored top-bottom  8 turned a quarter anticlockwise
//
// The EXIF block is untrusted input; it is read by libexif.
#pragma once

#include <cstddef>

// The orientation in the EXIF block of a JPEG file's bytes: 1 ... 8, and 1
// when there is no block, no tag, or a value outside 1 ... 8.
int exiforientation(const void* data, size_t size);

// Whether the orientation swaps width and height (5 ... 8).
bool turnsacross(int orientation);

// Writes to dst the upright form of the width x height picture src, whose
// pixels are pixelbytes each and whose rows run top to bottom, or bottom to
// top if bottomup (dst then does the same). Pixels are moved, never blended.
void turnpixels(const unsigned char* src, unsigned width, unsigned height, unsigned pixelbytes, int orientation,
                bool bottomup, unsigned char* dst);
