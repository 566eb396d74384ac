#include "slide/slide.h"

#include <cfloat>
#include <utility>

#include "slide/image.h"
#include "slide/orientation.h"

#if LDBL_MANT_DIG != 64
#error "portraitwidth() needs long double with a 64-bit significand (x87 extended precision)"
#endif

unsigned portraitwidth(unsigned width, unsigned height) {
  const long double ratio = static_cast<long double>(height) / static_cast<long double>(width);
  const long double w = 640.0L / ratio;
  return w < 1.0L ? 1u : static_cast<unsigned>(w);
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
