#include "slide/slide.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "slide/image.h"
#include "slide/jpeg.h"
#include "slide/orientation.h"
#include "slide/picture.h"
#include "slide/resample.h"

namespace {

// The whole widths n = 640 w / h that the two rounded divisions put one
// short. There h / w is exactly 640 / n, whose 64-bit rounding depends on n
// alone; for these n it rounds up, so 640 divided by it falls just below n.
constexpr unsigned short shortwidths[] = {27,  29,  54,  57,  58,  75,  108, 114, 116, 150, 213, 215, 216,
                                          228, 232, 243, 247, 255, 293, 299, 300, 307, 426, 430, 432, 456,
                                          457, 464, 477, 486, 494, 510, 586, 598, 600, 614, 633};

}  // namespace

// Exactly as 640 / (height / width) in x87 extended precision, in integers,
// on any machine. Each rounding moves the quotient by less than 2^-53 of
// it; where 640 w / h is not whole it lies at least 1 / h away from the
// next whole number, so its floor is the answer; where it is whole, the
// rounded quotient is n or a little below n, as the table says.
unsigned portraitwidth(unsigned width, unsigned height) {
  if (height == 0) return 1;
  const uint64_t scaled = uint64_t{640} * width;
  uint64_t w = scaled / height;
  if (scaled % height == 0 && std::binary_search(std::begin(shortwidths), std::end(shortwidths), w)) --w;
  return w < 1 ? 1u : static_cast<unsigned>(w);
}

picturesize fitpicture(unsigned width, unsigned height) {
  const uint64_t w = std::max(width, 1u), h = std::max(height, 1u);
  // a >= 4/3: as wide as the frame, 768 "square" pixels across (720 at
  // 16:15), so 768 h / w high; else as high, 576 * (4/3) / (16/15) = 540
  // a wide. Halves round up.
  if (3 * w >= 4 * h) return {framewidth, static_cast<unsigned>(std::max<uint64_t>(1, (2 * 768 * h + w) / (2 * w)))};
  return {static_cast<unsigned>(std::max<uint64_t>(1, (2 * 540 * w + h) / (2 * h))), frameheight};
}

bool wholejpeg(const char* jpeg, size_t size) {
  return size >= 4 && std::memcmp(jpeg, "\xff\xd8", 2) == 0 && std::memcmp(jpeg + size - 2, "\xff\xd9", 2) == 0;
}

picturesize wishedpicture(unsigned width, unsigned height, const picturewish& wish) {
  using place = picturewish::place;
  const bool portrait = height > width;
  const picturesize box = wish.box == place::kitfitted ? fitpicture(width, height)
                          : wish.box == place::kitstretched
                              ? picturesize{portrait ? portraitwidth(width, height) : framewidth, frameheight}
                              : boxof(width, height, wish.framewidth, wish.frameheight);
  auto grown = [&](unsigned side) { return static_cast<unsigned>(std::max(1L, std::lround(side * wish.margin))); };
  return {grown(box.width), grown(box.height)};
}

namespace {

// Loads the still whole into the image library, with its size as stored in
// r; false, with r's state and reason, if it cannot be.
bool loadwhole(const char* name, const void* data, size_t size, slideresult* r) {
  const loadstatus loaded = loadimage(name, data, size, &r->reason);
  const imagesize stored = currentimagesize();
  r->width = stored.width;
  r->height = stored.height;
  if (loaded == loadstatus::loaded) return true;
  r->state = loaded == loadstatus::toolarge ? slidestate::toolarge : slidestate::unloadable;
  return false;
}

// The picture wish asks for, into r, from the still's pixels as decoded
// (extentx x extenty of them span the still, as resample.h says), turned
// upright; r's size is the photo's, upright. Reduced as stored, to the
// turned size of the picture, and only then turned, as for the frames.
bool makepicture(const pixels& still, double extentx, double extenty, int orientation, const picturewish& wish,
                 slideresult* r) {
  const picturesize want = wishedpicture(r->width, r->height, wish);
  const bool across = turnsacross(orientation);
  const pixels scaled =
      resample(still, extentx, extenty, across ? want.height : want.width, across ? want.width : want.height);
  pixels upright = scaled;
  upright.width = want.width;
  upright.height = want.height;
  turnpixels(scaled.data.data(), scaled.width, scaled.height, scaled.channels, orientation, false, upright.data.data());
  r->picture = yuv420(upright, wish.bt709);
  r->picturewidth = want.width;
  r->pictureheight = want.height;
  if (r->picture.size() <= picturelimit) return true;
  r->reason = "its picture would be too large";
  r->picture.clear();
  return false;
}

}  // namespace

slideresult makeframe(const char* name, const void* data, size_t size, const picturewish& wish) {
  slideresult r;
  if (!loadwhole(name, data, size, &r)) return r;

  // Sizes and geometry follow the picture as a viewer shows it. A turned
  // still is scaled as stored to the turned size of its frame, and only the
  // small result is turned: the same picture, for far less work.
  const int orientation = exiforientation(data, size);
  const bool across = turnsacross(orientation);
  if (across) std::swap(r.width, r.height);
  // The video's picture from the same decode, which the frame then scales.
  if (wish.framewidth != 0) {
    pixels whole;
    if (!copypixels(&whole, &r.reason) || !makepicture(whole, whole.width, whole.height, orientation, wish, &r)) {
      r.state = slidestate::unscalable;
      return r;
    }
  }
  const bool portrait = r.height > r.width;
  const unsigned width = portrait ? portraitwidth(r.width, r.height) : framewidth, height = frameheight;
  const bool scaled = scaleimage(across ? height : width, across ? width : height, &r.reason) &&
                      turnimage(orientation, &r.reason) &&
                      (!portrait || centreoncanvas(framewidth, frameheight, &r.reason));
  if (!scaled) {
    r.state = slidestate::unscalable;
    return r;
  }
  r.state = encodejpeg(framelimit, &r.jpeg, &r.reason) ? slidestate::framed : slidestate::unencodable;
  return r;
}

namespace {

// The still's pixels, decoded as small as its fitted picture allows: at
// 1/8, 1/4 or 1/2 by the JPEG library where that leaves at least the
// picture's size, else whole by the image library. extentx and extenty are
// the still's size in the decoded pixels (resample.h).
struct decoded {
  pixels still;
  double extentx = 0, extenty = 0;
};

bool decodesmall(const void* data, size_t size, int orientation, const picturewish& wish, decoded* d, slideresult* r) {
  jpegheader header;
  if (!readjpegheader(data, size, &header)) return false;
  // What the image library would refuse as too large it refuses itself.
  const size_t budget = imagebudget();
  if (budget != 0 && uint64_t{header.width} * header.height * header.channels > budget) return false;
  const bool across = turnsacross(orientation);
  const unsigned uprightwidth = across ? header.height : header.width;
  const unsigned uprightheight = across ? header.width : header.height;
  // The larger of the fitted frame's picture and the video's.
  picturesize upright = fitpicture(uprightwidth, uprightheight);
  if (wish.framewidth != 0) {
    const picturesize wished = wishedpicture(uprightwidth, uprightheight, wish);
    upright = {std::max(upright.width, wished.width), std::max(upright.height, wished.height)};
  }
  const unsigned width = across ? upright.height : upright.width, height = across ? upright.width : upright.height;
  for (unsigned denominator : {8u, 4u, 2u}) {
    if ((header.width + denominator - 1) / denominator < width ||
        (header.height + denominator - 1) / denominator < height)
      continue;
    if (!decodejpeg(data, size, denominator, budget, &d->still)) return false;
    d->extentx = static_cast<double>(header.width) / denominator;
    d->extenty = static_cast<double>(header.height) / denominator;
    r->width = header.width;
    r->height = header.height;
    return true;
  }
  return false;
}

}  // namespace

slideresult makefitframe(const char* name, const void* data, size_t size, const picturewish& wish) {
  slideresult r;
  const int orientation = exiforientation(data, size);
  decoded d;
  if (!loadsasjpeg(name, data, size) || !decodesmall(data, size, orientation, wish, &d, &r)) {
    // Whole, by the image library: as makeframe loads, and fails.
    if (!loadwhole(name, data, size, &r)) return r;
    if (!takepixels(&d.still, &r.reason)) {
      r.state = slidestate::unscalable;
      return r;
    }
    d.extentx = d.still.width;
    d.extenty = d.still.height;
  }

  // Reduced as stored, to the turned size of the picture; only the small
  // result is turned.
  const bool across = turnsacross(orientation);
  if (across) std::swap(r.width, r.height);
  if (wish.framewidth != 0 && !makepicture(d.still, d.extentx, d.extenty, orientation, wish, &r)) {
    r.state = slidestate::unscalable;
    return r;
  }
  const picturesize fit = fitpicture(r.width, r.height);
  const pixels small =
      resample(d.still, d.extentx, d.extenty, across ? fit.height : fit.width, across ? fit.width : fit.height);
  d.still = pixels();
  pixels upright = small;
  upright.width = fit.width;
  upright.height = fit.height;
  turnpixels(small.data.data(), small.width, small.height, small.channels, orientation, false, upright.data.data());
  if (!putpixels(upright, &r.reason) || !centreoncanvas(framewidth, frameheight, &r.reason)) {
    r.state = slidestate::unscalable;
    return r;
  }
  r.state = encodejpeg(framelimit, &r.jpeg, &r.reason) ? slidestate::framed : slidestate::unencodable;
  return r;
}
