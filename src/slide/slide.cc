#include "slide/slide.h"

#include <cfloat>
#include <cstdio>

#include "script/script.h"
#include "slide/image.h"

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

void reportfailure(std::ostream& log, std::ostream& err, const std::string& message) {
  log.flush();
  err << "vantrel: " << message << '\n';
  err.flush();
}

bool processimage(int& counter, const char* name, const slidestreams& out) {
  out.log << "processimage:" << name << '\n';
  std::string reason;
  if (!loadimage(name, &reason)) {
    reportfailure(out.log, out.err, std::string(name) + ": cannot load: " + reason);
    return false;
  }
  const imagesize size = currentimagesize();
  out.log << "ht=" << size.height << '\n' << "wd=" << size.width << '\n';
  out.log.flush();

  const bool portrait = size.height > size.width;
  const bool scaled =
      portrait ? scaleimage(portraitwidth(size.width, size.height), frameheight, &reason) &&
                     centreoncanvas(framewidth, frameheight, &reason)
               : scaleimage(framewidth, frameheight, &reason);
  if (!scaled) {
    reportfailure(out.log, out.err, std::string(name) + ": cannot scale: " + reason);
    return false;
  }

  const std::string output = slidename(counter);
  std::remove(output.c_str());
  if (!saveimage(output.c_str(), &reason)) {
    // Whatever the library left of the file is not a usable frame.
    std::remove(output.c_str());
    reportfailure(out.log, out.err, output + ": cannot save: " + reason);
    return false;
  }
  writeclipline(out.script, counter);
  ++counter;
  return true;
}
