// makestills DIR [COUNT]: fills DIR with COUNT camera-sized stills named
// DSC00001.JPG ..., in landscape, portrait and panorama shapes, plus a note
// that is not a still. A demo folder for vantrel, and benchmark input.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fixtures.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: makestills DIR [COUNT] [SCALE]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 4;
  // SCALE divides the camera sizes, for quick demos.
  const unsigned scale = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
  if (count < 0 || scale < 1) {
    std::fprintf(stderr, "makestills: COUNT must be at least 0 and SCALE at least 1\n");
    return 2;
  }
  mkdir(dir.c_str(), 0777);

  struct shape {
    unsigned w, h;
  };
  const shape shapes[] = {{4000, 3000}, {3000, 4000}, {4608, 1976}, {3264, 2448}};
  for (int i = 0; i < count; ++i) {
    const shape s = shapes[i % 4];
    const unsigned w = s.w / scale, h = s.h / scale;
    char name[32];
    std::snprintf(name, sizeof name, "DSC%05d.JPG", i + 1);
    const unsigned seed = static_cast<unsigned>(i) * 53u;
    // A diagonal colour wash with a bright disc, so frames are easy to tell apart.
    const bool ok = writepicture(dir + "/" + name, w, h, [&](unsigned x, unsigned y) {
      const long dx = static_cast<long>(x) - static_cast<long>(w) / 2;
      const long dy = static_cast<long>(y) - static_cast<long>(h) / 2;
      const long r = static_cast<long>(h) / 4;
      if (dx * dx + dy * dy < r * r) return rgb{250, 240, 200};
      return rgb{static_cast<unsigned char>((x * 255 / w + seed) & 255),
                 static_cast<unsigned char>((y * 255 / h + seed * 3) & 255),
                 static_cast<unsigned char>((seed * 7) & 255)};
    });
    if (!ok) {
      std::fprintf(stderr, "makestills: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
  }
  std::ofstream(dir + "/notes.txt") << "Not a still: vantrel lists this file and leaves it alone.\n";
  return 0;
}
