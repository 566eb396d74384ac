// Test pictures, written and read through the image library: the test
// suite, the demo folder and the benchmark make their stills with these.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct rgb {
  unsigned char r, g, b;
};

// An RGB picture, row 0 at the top.
struct picture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<unsigned char> data;  // width * height * 3 bytes

  rgb at(unsigned x, unsigned y) const;
};

// Writes a width x height picture painted by paint(x, y), y = 0 at the top,
// in the format of the path's extension (".jpg" makes a JPEG). Returns false
// if the library fails.
bool writepicture(const std::string& path, unsigned width, unsigned height,
                  const std::function<rgb(unsigned x, unsigned y)>& paint);

// A still whose top half is `top` and bottom half `bottom`: enough to tell
// pictures apart and to see that none comes out upside down.
bool writehalves(const std::string& path, unsigned width, unsigned height, rgb top, rgb bottom);

// Reads a picture; an empty picture (width 0) if the library cannot.
picture readpicture(const std::string& path);

// Whether two colours differ by at most tolerance in every channel (JPEG is lossy).
bool near(rgb a, rgb b, int tolerance = 24);

// The JPEG file's bytes with an EXIF block holding only the orientation tag
// (little-endian), put in right after the start marker.
std::string withorientation(const std::string& jpeg, int orientation);
