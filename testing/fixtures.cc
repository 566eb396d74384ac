#include "fixtures.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace {

void initonce() {
  static const bool done = [] {
    ilInit();
    iluInit();
    return true;
  }();
  (void)done;
}

// Maps a top-down row to the row index in the library's buffer.
unsigned storedrow(unsigned y, unsigned height) {
  return ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_LOWER_LEFT ? height - 1 - y : y;
}

// Runs fn with a fresh image of the library's bound, then returns to the
// default image so that code under test finds the library as it left it.
template <typename Fn>
auto withimage(Fn fn) {
  initonce();
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  auto result = fn();
  ilDeleteImages(1, &name);
  ilBindImage(0);
  while (ilGetError() != IL_NO_ERROR) {
  }
  return result;
}

}  // namespace

rgb picture::at(unsigned x, unsigned y) const {
  const unsigned char* p = &data[(static_cast<size_t>(y) * width + x) * 3];
  return {p[0], p[1], p[2]};
}

bool writepicture(const std::string& path, unsigned width, unsigned height,
                  const std::function<rgb(unsigned x, unsigned y)>& paint) {
  return withimage([&] {
    if (!ilTexImage(width, height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, nullptr)) return false;
    unsigned char* data = ilGetData();
    for (unsigned y = 0; y < height; ++y) {
      unsigned char* row = data + static_cast<size_t>(storedrow(y, height)) * width * 3;
      for (unsigned x = 0; x < width; ++x) {
        const rgb c = paint(x, y);
        row[x * 3] = c.r;
        row[x * 3 + 1] = c.g;
        row[x * 3 + 2] = c.b;
      }
    }
    std::remove(path.c_str());
    return ilSaveImage(path.c_str()) == IL_TRUE;
  });
}

bool writehalves(const std::string& path, unsigned width, unsigned height, rgb top, rgb bottom) {
  return writepicture(path, width, height, [&](unsigned, unsigned y) { return y < height / 2 ? top : bottom; });
}

picture readpicture(const std::string& path) {
  return withimage([&] {
    picture pic;
    if (!ilLoadImage(path.c_str()) || !ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE)) return pic;
    pic.width = static_cast<unsigned>(ilGetInteger(IL_IMAGE_WIDTH));
    pic.height = static_cast<unsigned>(ilGetInteger(IL_IMAGE_HEIGHT));
    const unsigned char* data = ilGetData();
    const size_t rowbytes = static_cast<size_t>(pic.width) * 3;
    pic.data.resize(rowbytes * pic.height);
    for (unsigned y = 0; y < pic.height; ++y) {
      const unsigned char* row = data + storedrow(y, pic.height) * rowbytes;
      std::copy(row, row + rowbytes, pic.data.begin() + static_cast<std::ptrdiff_t>(y * rowbytes));
    }
    return pic;
  });
}

bool near(rgb a, rgb b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::string withorientation(const std::string& jpeg, int orientation) {
  // "Exif", the TIFF header, one directory of one entry: tag 0x0112, SHORT, 1 value.
  std::string exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24);
  exif += {static_cast<char>(orientation & 0xff), static_cast<char>(orientation >> 8), 0, 0, 0, 0, 0, 0};
  const size_t length = exif.size() + 2;
  const std::string segment =
      std::string{'\xff', '\xe1', static_cast<char>(length >> 8), static_cast<char>(length & 0xff)} + exif;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}
