#include "slide/orientation.h"

#include <libexif/exif-data.h>

#include <cstdint>
#include <cstring>

int exiforientation(const void* data, size_t size) {
  ExifData* exif = exif_data_new();
  if (!exif) return 1;
  // Read the block as it is: no tags made up for what the camera left out.
  exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(exif, static_cast<const unsigned char*>(data), static_cast<unsigned>(size));
  int orientation = 1;
  const ExifEntry* e = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (e && e->format == EXIF_FORMAT_SHORT && e->components == 1 && e->data && e->size >= 2) {
    const int value = exif_get_short(e->data, exif_data_get_byte_order(exif));
    if (value >= 1 && value <= 8) orientation = value;
  }
  exif_data_unref(exif);
  return orientation;
}

bool turnsacross(int orientation) { return orientation >= 5 && orientation <= 8; }

void turnpixels(const unsigned char* src, unsigned width, unsigned height, unsigned pixelbytes, int orientation,
                bool bottomup, unsigned char* dst) {
  const bool across = turnsacross(orientation);
  const unsigned outwidth = across ? height : width, outheight = across ? width : height;
  // The stored pixel that lands at (x, y) of the upright picture.
  auto source = [&](int64_t x, int64_t y) {
    const int64_t w = width, h = height;
    int64_t sx = x, sy = y;
    switch (orientation) {
      case 2: sx = w - 1 - x; break;
      case 3: sx = w - 1 - x, sy = h - 1 - y; break;
      case 4: sy = h - 1 - y; break;
      case 5: sx = y, sy = x; break;
      case 6: sx = y, sy = h - 1 - x; break;
      case 7: sx = w - 1 - y, sy = h - 1 - x; break;
      case 8: sx = w - 1 - y, sy = x; break;
      default: break;
    }
    return ((bottomup ? h - 1 - sy : sy) * w + sx) * static_cast<int64_t>(pixelbytes);
  };
  // The mapping is affine, so each row is a fixed stride through src.
  const int64_t origin = source(0, 0), stepx = source(1, 0) - origin, stepy = source(0, 1) - origin;
  for (unsigned y = 0; y < outheight; ++y) {
    unsigned char* out = dst + static_cast<size_t>(bottomup ? outheight - 1 - y : y) * outwidth * pixelbytes;
    const unsigned char* in = src + origin + stepy * y;
    for (unsigned x = 0; x < outwidth; ++x, in += stepx, out += pixelbytes) std::memcpy(out, in, pixelbytes);
  }
}
