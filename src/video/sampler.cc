#include "video/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "slide/resample.h"

const uint8_t* yuvpicture::plane(int p) const {
  const auto* at = reinterpret_cast<const uint8_t*>(bytes.data());
  if (p > 0) at += size_t{1} * width * height;
  if (p > 1) at += size_t{1} * planewidth(1) * planeheight(1);
  return at;
}

namespace {

constexpr int weightbits = 14;  // a sample's weights add up to 1 << weightbits
constexpr int middlebits = 6;   // fractional bits kept between the two passes
constexpr double lobes = lanczoslobes;

// The kernel at steps of 1/kernelsteps, for the taps of every frame (its
// sines cost more than the sums they weigh); between two steps, the line
// between them, within a millionth of the kernel itself.
constexpr int kernelsteps = 1024;

double tabledlanczos(double x) {
  static const std::vector<double> table = [] {
    std::vector<double> t(static_cast<size_t>(lobes * kernelsteps) + 2);
    for (size_t i = 0; i < t.size(); ++i) t[i] = lanczos(static_cast<double>(i) / kernelsteps);
    return t;
  }();
  const double at = std::fabs(x) * kernelsteps;
  if (at >= lobes * kernelsteps) return 0;
  const auto i = static_cast<size_t>(at);
  const double f = at - static_cast<double>(i);
  return table[i] + (table[i + 1] - table[i]) * f;
}

// The taps of count samples along one axis of a plane insize long: sample
// i is centred on the plane's a + i b, each with n weights from first[i] on.
struct taps {
  int n = 0;
  const int32_t* first = nullptr;
  const int16_t* weight = nullptr;
};

// The taps, padded with weights of 0 to a multiple of tapblock so that the
// sums run in whole vectors.
constexpr int tapblock = 8;

taps maketaps(int count, int insize, double a, double b, std::vector<int32_t>* firsts, std::vector<int16_t>* weights) {
  const double stretch = std::clamp(b, 1.0, 8.0), reach = lobes * stretch;
  const int used = std::min(insize, 2 * static_cast<int>(std::ceil(reach)));
  const int n = (used + tapblock - 1) / tapblock * tapblock;
  firsts->resize(static_cast<size_t>(count));
  weights->assign(static_cast<size_t>(count) * n, 0);
  double w[64];
  for (int i = 0; i < count; ++i) {
    const double centre = a + i * b;
    // The pixels nearest the centre, inside the plane: where the filter
    // reaches past an edge, the pixels inside share its weight.
    const int lo = std::clamp(static_cast<int>(std::floor(centre - reach)) + 1, 0, insize - used);
    double sum = 0;
    for (int k = 0; k < used; ++k) sum += w[k] = tabledlanczos((lo + k - centre) / stretch);
    if (sum == 0) w[0] = sum = 1;
    int16_t* fixed = weights->data() + static_cast<size_t>(i) * n;
    int total = 0, largest = 0;
    for (int k = 0; k < used; ++k) {
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

// Samples rows [from, to) of one output plane region of width samples:
// for each, down the source columns it needs first (whole rows at a time,
// which the compiler turns into vector code), into middle, then across.
// Taps past the plane's width read the padding after the last column,
// with weights of 0.
void samplerows(const uint8_t* src, int srcstride, int srcwidth, const taps& across, const taps& down, int width,
                int from, int to, uint8_t* out, int outstride, int16_t* middle) {
  const int x0 = across.first[0], x1 = std::min(srcwidth, across.first[width - 1] + across.n);
  const int span = x1 - x0;
  std::fill(middle + span, middle + span + across.n, 0);
  constexpr int shift = weightbits - middlebits;
  for (int y = from; y < to; ++y) {
    const int16_t* w = down.weight + static_cast<size_t>(y) * down.n;
    const uint8_t* rows[64];
    int16_t weights[64];
    int count = 0;
    for (int k = 0; k < down.n; ++k)
      if (w[k] != 0)
        rows[count] = src + static_cast<size_t>(down.first[y] + k) * srcstride + x0, weights[count++] = w[k];
    if (count % 2 == 1) rows[count] = rows[count - 1], weights[count++] = 0;
    int x = 0;
#if defined(__SSE2__)
    // Eight columns at a time, two rows at a time: each pair of pixels one
    // above the other multiplied by its pair of weights and added.
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(1 << (shift - 1));
    for (; x + 8 <= span; x += 8) {
      __m128i low = round, high = round;
      for (int k = 0; k < count; k += 2) {
        const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[k] + x)), zero);
        const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[k + 1] + x)), zero);
        const __m128i pair =
            _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(weights[k])) |
                           static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(weights[k + 1])) << 16));
        low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), pair));
        high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), pair));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(middle + x),
                       _mm_packs_epi32(_mm_srai_epi32(low, shift), _mm_srai_epi32(high, shift)));
    }
#endif
    for (; x < span; ++x) {
      int32_t sum = 1 << (shift - 1);
      for (int k = 0; k < count; ++k) sum += int32_t{weights[k]} * rows[k][x];
      middle[x] = static_cast<int16_t>(sum >> shift);
    }
    uint8_t* line = out + static_cast<size_t>(y) * outstride;
    constexpr int total = weightbits + middlebits;
    int u = 0;
#if defined(__SSE2__)
    // Four samples at a time where each has one block of taps: a multiply
    // and add of eight pairs each, then the four sums side by side.
    if (across.n == tapblock) {
      const __m128i round = _mm_set1_epi32(1 << (total - 1));
      for (; u + 4 <= width; u += 4) {
        __m128i part[4];
        for (int j = 0; j < 4; ++j) {
          const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(middle + (across.first[u + j] - x0)));
          const __m128i weights =
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(across.weight + static_cast<size_t>(u + j) * tapblock));
          part[j] = _mm_madd_epi16(values, weights);
        }
        const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(part[0], part[1]), _mm_unpackhi_epi32(part[0], part[1]));
        const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(part[2], part[3]), _mm_unpackhi_epi32(part[2], part[3]));
        const __m128i sum = _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
        const __m128i shifted = _mm_srai_epi32(_mm_add_epi32(sum, round), total);
        const __m128i words = _mm_packs_epi32(shifted, shifted);
        const __m128i bytes = _mm_packus_epi16(words, words);
        const int four = _mm_cvtsi128_si32(bytes);
        std::memcpy(line + u, &four, 4);
      }
    }
#endif
    for (; u < width; ++u) {
      const int16_t* p = middle + (across.first[u] - x0);
      const int16_t* wu = across.weight + static_cast<size_t>(u) * across.n;
      int32_t s = 1 << (total - 1);
      for (int k = 0; k < across.n; k += tapblock)
        for (int j = 0; j < tapblock; ++j) s += int32_t{wu[k + j]} * p[k + j];
      line[u] = static_cast<uint8_t>(std::clamp(s >> total, 0, 255));
    }
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
    // Two halves of the rows at once.
    const size_t room = static_cast<size_t>(picture.planewidth(p)) + across.n;
    middle_.resize(2 * room);
    const int split = lines / 2;
    std::thread other(samplerows, picture.plane(p), picture.planewidth(p), picture.planewidth(p), across, down, count,
                      split, lines, to, out->linesize[p], middle_.data() + room);
    if (split > 0)
      samplerows(picture.plane(p), picture.planewidth(p), picture.planewidth(p), across, down, count, 0, split, to,
                 out->linesize[p], middle_.data());
    other.join();
  }
}
