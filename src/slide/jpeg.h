// A JPEG decoded at a half, a quarter or an eighth of its size by the JPEG
// library itself, which then never computes the detail a small frame
// cannot show: far less work than a full decode, and the dropped detail is
// filtered out by the decode rather than folded back.
//
// Only what a camera writes is taken: a colour (YCbCr) or grey picture.
// Anything else, or any fault of the file, is left to the image library
// (image.h), which reports it as for any still.
#pragma once

#include <cstddef>

#include "slide/resample.h"

struct jpegheader {
  unsigned width = 0;  // as stored
  unsigned height = 0;
  unsigned channels = 0;  // of the decoded pixels: 3 or 1
};

// Reads the header of a JPEG; false if it is none, or not one this module
// decodes.
bool readjpegheader(const void* data, size_t size, jpegheader* header);

// Decodes the JPEG at 1 / denominator (2, 4 or 8) of its size, each side
// rounded up, in at most memorylimit bytes of the JPEG library's working
// memory (0: no limit). False on any fault, a file cut short included.
bool decodejpeg(const void* data, size_t size, unsigned denominator, size_t memorylimit, pixels* out);
