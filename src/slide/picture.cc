#include "slide/picture.h"

#include <algorithm>
#include <vector>

picturesize boxof(unsigned width, unsigned height, unsigned framewidth, unsigned frameheight) {
  const uint64_t w = std::max(width, 1u), h = std::max(height, 1u);
  // As wide as the frame where the photo is at least as wide as the
  // frame's shape, else as high; halves round up.
  if (w * frameheight >= h * framewidth)
    return {framewidth, static_cast<unsigned>(std::max<uint64_t>(1, (2 * framewidth * h + w) / (2 * w)))};
  return {static_cast<unsigned>(std::max<uint64_t>(1, (2 * frameheight * w + h) / (2 * h))), frameheight};
}

namespace {

// A matrix's fixed-point coefficients: Y' = kr R + kg G + kb B; Cb and Cr
// are B - Y' and R - Y' scaled to -0.5 ... 0.5; limited range puts Y' in
// 16 ... 235 and those in 16 ... 240. 16 fractional bits, of 8-bit R, G, B.
constexpr int bits = 16;
constexpr int32_t fixed(double v) { return static_cast<int32_t>(v * (1 << bits) + (v < 0 ? -0.5 : 0.5)); }
struct matrix {
  int32_t yr, yg, yb, br, bg, bb, rr, rg, rb;
};
constexpr matrix matrixof(double kr, double kb) {
  const double kg = 1 - kr - kb, y = 219.0 / 255, cb = 224.0 / 255 / (2 * (1 - kb)), cr = 224.0 / 255 / (2 * (1 - kr));
  return {fixed(y * kr),        fixed(y * kg),        fixed(y * kb),   fixed(-kr * cb), fixed(-kg * cb),
          fixed((1 - kb) * cb), fixed((1 - kr) * cr), fixed(-kg * cr), fixed(-kb * cr)};
}
constexpr matrix bt709 = matrixof(0.2126, 0.0722), bt601 = matrixof(0.299, 0.114);

uint8_t clamp8(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

std::string yuv420(const pixels& rgb, bool hd) {
  const matrix& m = hd ? bt709 : bt601;
  const unsigned w = rgb.width, h = rgb.height, n = rgb.channels;
  const unsigned cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::string out(yuvbytes(w, h), '\0');
  if (w == 0 || h == 0 || (n != 1 && n != 3)) return out;
  auto* y = reinterpret_cast<uint8_t*>(out.data());
  uint8_t* cb = y + size_t{w} * h;
  uint8_t* cr = cb + size_t{cw} * ch;
  // Each pixel's Cb and Cr before subsampling, in fixed point, two rows.
  std::vector<int32_t> pb(size_t{w} * 2), pr(size_t{w} * 2);
  constexpr int32_t half = 1 << (bits - 1);
  for (unsigned row = 0; row < h; row += 2) {
    const unsigned rows = std::min(2u, h - row);
    for (unsigned r = 0; r < 2; ++r) {
      // A picture of odd height repeats its last row below it.
      const unsigned from = row + std::min(r, rows - 1);
      const uint8_t* p = rgb.data.data() + size_t{from} * w * n;
      for (unsigned x = 0; x < w; ++x, p += n) {
        const int32_t R = p[0], G = n == 3 ? p[1] : p[0], B = n == 3 ? p[2] : p[0];
        if (r < rows) y[size_t{from} * w + x] = clamp8(16 + ((m.yr * R + m.yg * G + m.yb * B + half) >> bits));
        pb[size_t{r} * w + x] = m.br * R + m.bg * G + m.bb * B;
        pr[size_t{r} * w + x] = m.rr * R + m.rg * G + m.rb * B;
      }
    }
    // Beside each even column ([1 2 1] across), between the two rows.
    for (unsigned c = 0; c < cw; ++c) {
      const unsigned x = 2 * c, left = x > 0 ? x - 1 : 0, right = std::min(x + 1, w - 1);
      int64_t sb = 0, sr = 0;
      for (unsigned r = 0; r < 2; ++r) {
        const size_t at = size_t{r} * w;
        sb += int64_t{pb[at + left]} + 2 * int64_t{pb[at + x]} + pb[at + right];
        sr += int64_t{pr[at + left]} + 2 * int64_t{pr[at + x]} + pr[at + right];
      }
      // Eight weights, a fraction of 16 bits: round the whole (the shift
      // of a negative sum rounds down, as the compilers we build with do).
      constexpr int shift = bits + 3;
      const size_t at = size_t{row / 2} * cw + c;
      cb[at] = clamp8(128 + static_cast<int32_t>((sb + (int64_t{1} << (shift - 1))) >> shift));
      cr[at] = clamp8(128 + static_cast<int32_t>((sr + (int64_t{1} << (shift - 1))) >> shift));
    }
  }
  return out;
}
