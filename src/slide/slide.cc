#include "slide/slide.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include "slide/image.h"
#include "slide/orientation.h"

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

std::string slidename(int slide) {
  std::string digits = std::to_string(slide);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return "out" + digits + ".jpg";
}

slideresult makeframe(const char* name, const void* data, size_t size) {
  slideresult r;
  const loadstatus loaded = loadimage(name, data, size, &r.reason);
  const imagesize stored = currentimagesize();
  r.width = stored.width;
  r.height = stored.height;
  if (loaded != loadstatus::loaded) {
    r.state = loaded == loadstatus::toolarge ? slidestate::toolarge : slidestate::unloadable;
    return r;
  }

  // Sizes and geometry follow the picture as a viewer shows it. A turned
  // still is scaled as stored to the turned size of its frame, and only the
  // small result is turned: the same picture, for far less work.
  const int orientation = exiforientation(data, size);
  const bool across = turnsacross(orientation);
  if (across) std::swap(r.width, r.height);
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
