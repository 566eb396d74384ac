#include "slide/slide.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <utility>

#include "script/script.h"
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
  r.state = encodejpeg(&r.jpeg, &r.reason) ? slidestate::framed : slidestate::unencodable;
  return r;
}

bool processimage(int& counter, const char* name, const slideresult& made, const slidestreams& out,
                  std::string* failure) {
  out.log << "processimage:" << name << '\n';
  switch (made.state) {
    case slidestate::unloadable:
      *failure = std::string(name) + ": cannot load: " + made.reason;
      return false;
    case slidestate::toolarge:
      *failure = std::string(name) + ": cannot load: too large: " + std::to_string(made.width) + " \u00d7 " +
                 std::to_string(made.height) + " pixels";
      return false;
    default:
      break;
  }
  out.log << "ht=" << made.height << '\n' << "wd=" << made.width << '\n';
  out.log.flush();
  if (made.state == slidestate::unscalable) {
    *failure = std::string(name) + ": cannot scale: " + made.reason;
    return false;
  }
  const std::string output = slidename(counter);
  std::string reason = made.reason;
  if (made.state != slidestate::framed || !writeframe(output, made.jpeg, &reason)) {
    *failure = output + ": cannot save: " + reason;
    return false;
  }
  writeclipline(out.script, counter);
  ++counter;
  return true;
}

bool writeframe(const std::string& path, const std::string& jpeg, std::string* reason) {
  std::remove(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return false;
  }
  int error = 0;
  for (size_t done = 0; done < jpeg.size() && error == 0;) {
    const ssize_t n = ::write(fd, jpeg.data() + done, jpeg.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0 || errno != EINTR)
      error = n == 0 ? EIO : errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return true;
  // Whatever part of the frame was written is not a usable frame.
  ::unlink(path.c_str());
  *reason = std::strerror(error);
  return false;
}
