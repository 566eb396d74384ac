#include "slide/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr int weightbits = 14;  // the weights of one output pixel add up to 1 << weightbits
constexpr int middlebits = 6;   // fractional bits kept between the two passes
constexpr double lobes = lanczoslobes;

// The taps of one output pixel: first..first+count-1 of weights, for the
// source pixels index[first...].
struct taps {
  std::vector<uint32_t> index;  // source pixel of each tap
  std::vector<int32_t> weight;  // its weight, fixed point
  std::vector<size_t> first;    // per output pixel, its first tap; one more at the end
};

// Taps for size outputs over an input of insize pixels of which extent are spanned.
taps maketaps(unsigned insize, double extent, unsigned size) {
  taps t;
  const double ratio = extent / size, stretch = std::max(1.0, ratio), reach = lobes * stretch;
  std::vector<double> w;
  for (unsigned i = 0; i < size; ++i) {
    t.first.push_back(t.index.size());
    const double centre = (i + 0.5) * ratio - 0.5;
    const long lo = static_cast<long>(std::ceil(centre - reach)), hi = static_cast<long>(std::floor(centre + reach));
    w.clear();
    double sum = 0;
    for (long k = lo; k <= hi; ++k) sum += w.emplace_back(lanczos((k - centre) / stretch));
    // To fixed point, each tap's share rounded; what the rounding left over
    // goes to the largest tap, so that a flat picture stays exactly flat.
    // Taps past an edge fall on the edge pixel.
    const size_t start = t.index.size();
    int32_t total = 0;
    size_t largest = start;
    for (long k = lo; k <= hi; ++k) {
      const int32_t fixed = static_cast<int32_t>(std::lround(w[static_cast<size_t>(k - lo)] / sum * (1 << weightbits)));
      const uint32_t at = static_cast<uint32_t>(std::clamp<long>(k, 0, static_cast<long>(insize) - 1));
      if (t.index.size() > start && t.index.back() == at) {
        t.weight.back() += fixed;
      } else {
        t.index.push_back(at);
        t.weight.push_back(fixed);
      }
      total += fixed;
      if (t.weight.back() > t.weight[largest]) largest = t.weight.size() - 1;
    }
    t.weight[largest] += (1 << weightbits) - total;
  }
  t.first.push_back(t.index.size());
  return t;
}

}  // namespace

pixels resample(const pixels& src, double extentx, double extenty, unsigned width, unsigned height) {
  pixels out;
  out.width = width;
  out.height = height;
  out.channels = src.channels;
  if (width == 0 || height == 0 || src.width == 0 || src.height == 0 || src.channels == 0) return out;
  const size_t n = src.channels, inrow = size_t{src.width} * n, outrow = size_t{width} * n;

  // Down the columns first, on whole rows at a time: the sums run along
  // rows of bytes, which the compiler turns into vector code.
  const taps down = maketaps(src.height, extenty, height);
  std::vector<int32_t> middle(inrow * height), sum(inrow);
  for (unsigned y = 0; y < height; ++y) {
    std::fill(sum.begin(), sum.end(), 0);
    for (size_t k = down.first[y]; k < down.first[y + 1]; ++k) {
      const unsigned char* row = src.data.data() + down.index[k] * inrow;
      const int32_t w = down.weight[k];
      for (size_t x = 0; x < inrow; ++x) sum[x] += w * row[x];
    }
    int32_t* to = middle.data() + y * inrow;
    constexpr int shift = weightbits - middlebits;
    for (size_t x = 0; x < inrow; ++x) to[x] = (sum[x] + (1 << (shift - 1))) >> shift;
  }

  // Then along the rows.
  const taps across = maketaps(src.width, extentx, width);
  out.data.resize(outrow * height);
  constexpr int shift = weightbits + middlebits;
  for (unsigned y = 0; y < height; ++y) {
    const int32_t* row = middle.data() + y * inrow;
    unsigned char* to = out.data.data() + y * outrow;
    for (unsigned x = 0; x < width; ++x) {
      // All channels of a pixel in one walk over its taps.
      int32_t s[4] = {1 << (shift - 1), 1 << (shift - 1), 1 << (shift - 1), 1 << (shift - 1)};
      for (size_t k = across.first[x]; k < across.first[x + 1]; ++k) {
        const int32_t w = across.weight[k], *p = row + across.index[k] * n;
        for (size_t c = 0; c < n && c < 4; ++c) s[c] += w * p[c];
      }
      for (size_t c = 0; c < n && c < 4; ++c)
        to[x * n + c] = static_cast<unsigned char>(std::clamp(s[c] >> shift, 0, 255));
    }
  }
  return out;
}

double lanczos(double x) {
  x = std::fabs(x);
  if (x >= lanczoslobes) return 0;
  if (x < 1e-9) return 1;
  const double pi = 3.14159265358979323846, px = pi * x;
  return lanczoslobes * std::sin(px) * std::sin(px / lanczoslobes) / (px * px);
}
