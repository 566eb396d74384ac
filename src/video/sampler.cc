#include "video/sampler.h"

#include <algorithm>
#include <cmath>
#include <thread>

const uint8_t* yuvpicture::plane(int p) const {
  const auto* at = reinterpret_cast<const uint8_t*>(bytes.data());
  if (p > 0) at += size_t{1} * width * height;
  if (p > 1) at += size_t{1} * planewidth(1) * planeheight(1);
  return at;
}

namespace {

constexpr int weightbits = 14;  // a sample's weights add up to 1 << weightbits
constexpr int middlebits = 6;   // fractional bits kept between the two passes
constexpr double lobes = 3;

double lanczos(double x) {
  x = std::fabs(x);
  if (x >= lobes) return 0;
  if (x < 1e-9) return 1;
  const double pi = 3.14159265358979323846, px = pi * x;
  return lobes * std::sin(px) * std::sin(px / lobes) / (px * px);
}

// The taps of count samples along one axis of a plane insize long: sample
// i is centred on the plane's a + i b, each with n weights from first[i] on.
struct taps {
  int n = 0;
  const int32_t* first = nullptr;
  const int16_t* weight = nullptr;
};

taps maketaps(int count, int insize, double a, double b, std::vector<int32_t>* firsts, std::vector<int16_t>* weights) {
  const double stretch = std::max(1.0, b), reach = lobes * stretch;
  const int n = std::min(insize, 2 * static_cast<int>(std::ceil(reach)));
  firsts->resize(static_cast<size_t>(count));
  weights->resize(static_cast<size_t>(count) * n);
  double w[64];
  for (int i = 0; i < count; ++i) {
    const double centre = a + i * b;
    // The n pixels nearest the centre, inside the plane: where the filter
    // reaches past an edge, the pixels inside share its weight.
    const int lo = std::clamp(static_cast<int>(std::floor(centre - reach)) + 1, 0, insize - n);
    double sum = 0;
    for (int k = 0; k < n; ++k) sum += w[k] = lanczos((lo + k - centre) / stretch);
    if (sum == 0) w[0] = sum = 1;
    int16_t* fixed = weights->data() + static_cast<size_t>(i) * n;
    int total = 0, largest = 0;
    for (int k = 0; k < n; ++k) {
      fixed[k] = static_cast<int16_t>(std::lround(w[k] / sum * (1 << weightbits)));
      total += fixed[k];
      if (fixed[k] > fixed[largest]) largest = k;
    }
    // What the rounding left over goes to the largest tap: a flat picture
    // stays exactly flat.
    fixed[largest] = static_cast<int16_t>(fixed[largest] + (1 << weightbits) - total);
    (*firsts)[static_cast<size_t>(i)] = lo;
  }
  return {n, firsts->data(), weights->data()};
}

// Samples rows [from, to) of one output plane region: each needed source
// row across first, into middle (middle rows, one for each source row
// from row0), then down into out.
void samplerows(const uint8_t* src, int srcstride, const taps& across, const taps& down, int width, int from, int to,
                uint8_t* out, int outstride, int16_t* middle, int32_t* sums) {
  const int row0 = down.first[from], rows = down.first[to - 1] + down.n - row0;
  for (int r = 0; r < rows; ++r) {
    const uint8_t* line = src + static_cast<size_t>(row0 + r) * srcstride;
    int16_t* mid = middle + static_cast<size_t>(r) * width;
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = line + across.first[x];
      const int16_t* w = across.weight + static_cast<size_t>(x) * across.n;
      int32_t s = 1 << (weightbits - middlebits - 1);
      for (int k = 0; k < across.n; ++k) s += w[k] * p[k];
      mid[x] = static_cast<int16_t>(s >> (weightbits - middlebits));
    }
  }
  constexpr int shift = weightbits + middlebits;
  for (int y = from; y < to; ++y) {
    std::fill(sums, sums + width, 1 << (shift - 1));
    const int16_t* w = down.weight + static_cast<size_t>(y) * down.n;
    for (int k = 0; k < down.n; ++k) {
      const int16_t* mid = middle + static_cast<size_t>(down.first[y] + k - row0) * width;
      const int32_t wk = w[k];
      for (int x = 0; x < width; ++x) sums[x] += wk * mid[x];
    }
    uint8_t* line = out + static_cast<size_t>(y) * outstride;
    for (int x = 0; x < width; ++x) line[x] = static_cast<uint8_t>(std::clamp(sums[x] >> shift, 0, 255));
  }
}

}  // namespace

void sampler::draw(const yuvpicture& picture, const window& w, AVFrame* out, int left, int top, int boxwidth,
                   int boxheight) {
  const bool subsampled = out->format == streampixels;
  // Output pixel u of the box lies at the picture's wl + (u + 1/2) s - 1/2.
  const double sx = w.width / boxwidth, sy = w.height / boxheight;
  for (int p = 0; p < 3; ++p) {
    const bool chroma = p > 0, half = chroma && subsampled;
    const int count = half ? (boxwidth + 1) / 2 : boxwidth, lines = half ? (boxheight + 1) / 2 : boxheight;
    // Where each output sample lies in this plane: luma as above; chroma is
    // beside the even columns and between two rows, in the picture and, in
    // 4:2:0, in the frame too.
    double ax = w.left + 0.5 * sx - 0.5, bx = sx, ay = w.top + 0.5 * sy - 0.5, by = sy;
    if (chroma) {
      if (half) {
        ax = (w.left + 0.5 * sx - 0.5) / 2, bx = sx;
        ay = (w.top + sy - 1) / 2, by = sy;
      } else {
        ax /= 2, bx /= 2;
        ay = (ay - 0.5) / 2, by /= 2;
      }
    }
    const taps across = maketaps(count, picture.planewidth(p), ax, bx, &first_, &weights_);
    const taps down = maketaps(lines, picture.planeheight(p), ay, by, &rowfirst_, &rowweights_);
    uint8_t* to =
        out->data[p] + static_cast<size_t>(half ? top / 2 : top) * out->linesize[p] + (half ? left / 2 : left);
    const size_t most = static_cast<size_t>(picture.planeheight(p)) * count;
    middle_.resize(2 * most + 2 * static_cast<size_t>(down.n) * count);
    sums_.resize(2 * static_cast<size_t>(count));
    // Two halves of the rows at once, each with the source rows it needs.
    const int split = lines / 2;
    int16_t* secondmiddle = middle_.data() + most + static_cast<size_t>(down.n) * count;
    std::thread other(samplerows, picture.plane(p), picture.planewidth(p), across, down, count, split, lines, to,
                      out->linesize[p], secondmiddle, sums_.data() + count);
    if (split > 0)
      samplerows(picture.plane(p), picture.planewidth(p), across, down, count, 0, split, to, out->linesize[p],
                 middle_.data(), sums_.data());
    other.join();
  }
}
