// rendershow LIBRARY SCRIPT COLUMNS ROWS: renders SCRIPT with the frame
// server LIBRARY and prints what each frame shows, for the tests of the
// show: a line "WIDTH HEIGHT FPS-NUMERATOR FPS-DENOMINATOR FRAMES", then a
// line a frame of the mean red, green and blue of the middle half of each
// block of a COLUMNS x ROWS grid, left to right, top to bottom. A separate
// program, so that the frame server runs outside the tests' sanitizers.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frameserver.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: rendershow LIBRARY SCRIPT COLUMNS ROWS\n");
    return 2;
  }
  const unsigned columns = static_cast<unsigned>(std::atoi(argv[3])), rows = static_cast<unsigned>(std::atoi(argv[4]));
  frameserver server(argv[1]);
  if (!server.open(argv[2])) {
    std::fprintf(stderr, "rendershow: %s\n", server.error().c_str());
    return 1;
  }
  const unsigned w = static_cast<unsigned>(server.width()), h = static_cast<unsigned>(server.height());
  std::printf("%u %u %u %u %d\n", w, h, server.fpsnumerator(), server.fpsdenominator(), server.frames());
  if (columns == 0 || rows == 0 || w < columns * 4 || h < rows * 4) return 1;
  const unsigned bw = w / columns, bh = h / rows;
  std::vector<unsigned char> rgb;
  for (int n = 0; n < server.frames(); ++n) {
    if (!server.frame(n, &rgb)) {
      std::fprintf(stderr, "rendershow: frame %d: %s\n", n, server.error().c_str());
      return 1;
    }
    for (unsigned b = 0; b < columns * rows; ++b) {
      double sum[3] = {0, 0, 0};
      unsigned count = 0;
      const unsigned x0 = b % columns * bw, y0 = b / columns * bh;
      for (unsigned y = y0 + bh / 4; y < y0 + 3 * bh / 4; ++y)
        for (unsigned x = x0 + bw / 4; x < x0 + 3 * bw / 4; ++x, ++count)
          for (unsigned c = 0; c < 3; ++c) sum[c] += rgb[(size_t{y} * w + x) * 3 + c];
      std::printf("%s%.1f %.1f %.1f", b ? " " : "", sum[0] / count, sum[1] / count, sum[2] / count);
    }
    std::printf("\n");
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
