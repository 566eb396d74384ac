// The image library, behind the few calls the tool needs. Everything works
// on the library's single current image: each load replaces it. Failures
// come back as false with the library's reason in plain words.
#pragma once

#include <string>

// Once per process, before any other call.
void initimagelibrary();

struct imagesize {
  unsigned width;
  unsigned height;
};

bool loadimage(const char* path, std::string* reason);
imagesize currentimagesize();

// Bilinear scaling of the current image to exactly width x height.
bool scaleimage(unsigned width, unsigned height, std::string* reason);

// Centres the current image on a width x height canvas; the new area is
// black (alpha 0).
bool centreoncanvas(unsigned width, unsigned height, std::string* reason);

// Saves the current image; the format follows the name's extension, with
// the library's default settings. The file must not exist yet.
bool saveimage(const char* path, std::string* reason);
