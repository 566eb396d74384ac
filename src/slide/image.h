// The image library, behind the few calls the tool needs. Everything works
// on the library's single current image: each load replaces it. Failures
// come back as false with the library's reason in plain words.
//
// The library's own allocations are counted against a budget: a still
// whose header claims more pixels than the budget holds is refused before
// any pixel is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "slide/resample.h"

// Once per process, before any other call. budget is the most memory, in
// bytes, the library may hold at once; 0 means no limit.
void initimagelibrary(size_t budget = 0);

// Puts every coder the tool uses, and the EXIF reader, through its first
// use, so that nothing of theirs needs the file system later (a worker does
// this before it locks itself in).
void warmupimagelibrary();

struct imagesize {
  unsigned width;
  unsigned height;
};

enum class loadstatus { loaded, failed, toolarge };

// Loads a picture from memory. The loader is chosen as for a file of that
// name: by the name's extension, or by the content where the extension
// says nothing. On toolarge, currentimagesize() is the size the picture
// claims; the next load starts afresh.
loadstatus loadimage(const char* name, const void* data, size_t size, std::string* reason);
imagesize currentimagesize();

// The most memory the library may hold at once (initimagelibrary); 0: no limit.
size_t imagebudget();

// Whether a load of these bytes under this name would read them as a JPEG.
bool loadsasjpeg(const char* name, const void* data, size_t size);

// Moves the current image's pixels out, at 8 bits a channel, rows top to
// bottom: grey, grey and alpha, RGB or RGBA (BGR comes out as RGB). The
// library's image is left empty.
bool takepixels(pixels* out, std::string* reason);

// A copy of the current image's pixels as RGB at 8 bits a channel, rows
// top to bottom; the image is left as it is.
bool copypixels(pixels* out, std::string* reason);

// Makes the current image of p: 1 channel grey, 2 grey and alpha, 3 RGB, 4 RGBA.
bool putpixels(const pixels& p, std::string* reason);

// Bilinear scaling of the current image to exactly width x height.
bool scaleimage(unsigned width, unsigned height, std::string* reason);

// Centres the current image on a width x height canvas; the new area is
// black (alpha 0).
bool centreoncanvas(unsigned width, unsigned height, std::string* reason);

// Turns or mirrors the current image upright by an EXIF orientation (see
// orientation.h), moving pixels exactly; 1 and unknown values leave it.
bool turnimage(int orientation, std::string* reason);

// The current image as a JPEG of at most limit bytes, with the library's
// default settings.
bool encodejpeg(size_t limit, std::string* jpeg, std::string* reason);
