// A moving slide's window (motion.h) and its pixels (sampler.h): inside the
// photo always, eased, and smooth to the sub-pixel.
#include "video/motion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "video/sampler.h"

namespace {

std::vector<slidemotion> everymotion() {
  std::vector<slidemotion> all;
  for (int k = 0; k < motionkinds; ++k)
    for (int d = 0; d < motiondirections; ++d)
      all.push_back({static_cast<slidemotion::kind>(k), static_cast<uint8_t>(d)});
  return all;
}

TEST(Motion, EveryWindowStaysInsideThePictureInItsShapeAndEasesInAndOut) {
  const double width = 1584, height = 1188, frames = 150;
  for (const slidemotion& m : everymotion()) {
    SCOPED_TRACE("kind " + std::to_string(static_cast<int>(m.how)) + ", direction " + std::to_string(m.direction));
    std::vector<window> path;
    for (int f = 0; f < frames; ++f) path.push_back(windowat(m, f / (frames - 1), width, height));
    for (const window& w : path) {
      EXPECT_GE(w.left, -1e-9);
      EXPECT_GE(w.top, -1e-9);
      EXPECT_LE(w.left + w.width, width + 1e-9);
      EXPECT_LE(w.top + w.height, height + 1e-9);
      EXPECT_NEAR(w.width / w.height, width / height, 1e-9);
      // Always a reduction of the picture, by a ninth at least: never
      // pixel for pixel, never enlarged.
      EXPECT_GE(w.width, width / motionmargin * 1.09);
    }
    // It moves, a twentieth of the picture or more, and starts and stops
    // gently.
    const double moved = std::fabs(path.back().left - path.front().left) / width +
                         std::fabs(path.back().top - path.front().top) / height +
                         std::fabs(path.back().width - path.front().width) / width;
    EXPECT_GT(moved, 0.05);
    // Its first and last steps are a small part of its mean step.
    for (const auto& [a, b] : {std::pair{0, 1}, std::pair{148, 149}}) {
      const double step = std::fabs(path[b].left - path[a].left) / width +
                          std::fabs(path[b].top - path[a].top) / height +
                          std::fabs(path[b].width - path[a].width) / width;
      EXPECT_LT(step, 0.05 * moved / (frames - 1)) << "a jolt at frame " << a;
    }
  }
}

// A picture of one colour, or of one bright dot on grey; and what of it a
// window shows, drawn into a box on black.
yuvpicture paintedpicture(int width, int height, const std::function<int(double x, double y)>& luma) {
  yuvpicture p;
  p.width = width, p.height = height;
  p.bytes.assign(static_cast<size_t>(width) * height, '\0');
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) p.bytes[static_cast<size_t>(y) * width + x] = static_cast<char>(luma(x, y));
  p.bytes.append(2 * static_cast<size_t>(p.planewidth(1)) * p.planeheight(1), static_cast<char>(128));
  return p;
}

frameptr drawn(const yuvpicture& picture, const window& w, int boxwidth, int boxheight, AVPixelFormat pixels) {
  frameformat format = palformat;
  format.width = boxwidth + 40, format.height = boxheight + 40;
  frameptr out = blackpicture(format, pixels);
  sampler().draw(picture, w, out.get(), 20, 20, boxwidth, boxheight);
  return out;
}

TEST(Sampler, AFlatPictureStaysFlatInItsBoxAndNothingElseIsTouched) {
  const yuvpicture grey = paintedpicture(330, 242, [](double, double) { return 180; });
  for (const AVPixelFormat pixels : {streampixels, composepixels})
    for (const window& w : {window{0, 0, 330, 242}, window{12.37, 9.81, 300, 220}, window{29.99, 21.99, 300, 220}}) {
      const frameptr out = drawn(grey, w, 300, 220, pixels);
      for (int y = 0; y < 260; ++y)
        for (int x = 0; x < 340; ++x) {
          const bool inside = x >= 20 && x < 320 && y >= 20 && y < 240;
          ASSERT_EQ(out->data[0][y * out->linesize[0] + x], inside ? 180 : 16) << x << ", " << y;
        }
    }
}

// The centre of the dot in a box, from its luma above the grey.
std::pair<double, double> centroid(const frameptr& out, int boxwidth, int boxheight) {
  double sum = 0, sx = 0, sy = 0;
  for (int y = 20; y < 20 + boxheight; ++y)
    for (int x = 20; x < 20 + boxwidth; ++x) {
      const double v = std::max(0, out->data[0][y * out->linesize[0] + x] - 60);
      sum += v, sx += v * x, sy += v * y;
    }
  return {sx / sum, sy / sum};
}

// The root mean square of the second difference of a path, in pixels a
// frame a frame.
double roughness(const std::vector<std::pair<double, double>>& path) {
  double sum = 0;
  for (size_t i = 1; i + 1 < path.size(); ++i) {
    const double ax = path[i + 1].first - 2 * path[i].first + path[i - 1].first;
    const double ay = path[i + 1].second - 2 * path[i].second + path[i - 1].second;
    sum += ax * ax + ay * ay;
  }
  return std::sqrt(sum / (path.size() - 2));
}

TEST(Sampler, ADotGlidesWithTheWindowAndWouldShakeWereItRounded) {
  // A soft dot in a picture a tenth larger than the box, the window
  // panning 0.13 pixel a frame and zooming slowly: its centre in the box
  // must move as smoothly as the window does. The same drawn with the
  // window's place rounded to whole pixels must not pass.
  const yuvpicture dot = paintedpicture(264, 176, [](double x, double y) {
    return static_cast<int>(60 + 150 * std::exp(-((x - 131) * (x - 131) + (y - 89) * (y - 89)) / 18));
  });
  for (const bool rounded : {false, true})
    for (const AVPixelFormat pixels : {streampixels, composepixels}) {
      std::vector<std::pair<double, double>> path;
      for (int f = 0; f < 100; ++f) {
        window w{4 + 0.13 * f, 3 + 0.05 * f, 240 - 0.06 * f, 160 - 0.04 * f};
        if (rounded) w.left = std::round(w.left), w.top = std::round(w.top);
        path.push_back(centroid(drawn(dot, w, 240, 160, pixels), 240, 160));
      }
      if (rounded) {
        EXPECT_GT(roughness(path), 0.06) << "a rounded window passes for smooth";
      } else {
        EXPECT_LT(roughness(path), 0.02);
      }
    }
}

TEST(Sampler, AMovingZonePlateNeverShimmers) {
  // Rings of rising frequency up to a quarter of a cycle a pixel: as the
  // window moves, each frame is the rings at the window's place, frame
  // after frame, as near the exact picture as the first.
  const int width = 352, height = 264, boxwidth = 320, boxheight = 240;
  const auto rings = [&](double x, double y) {
    const double dx = x - width / 2.0, dy = y - height / 2.0;
    return 128 + 80 * std::cos(3.14159265 * (dx * dx + dy * dy) / (2.4 * width));
  };
  const yuvpicture plate = paintedpicture(width, height, [&](double x, double y) { return std::lround(rings(x, y)); });
  std::vector<double> psnrs;
  for (int f = 0; f < 60; ++f) {
    const window w = windowat({slidemotion::kind::zoompan, 1}, f / 59.0, width, height);
    const frameptr out = drawn(plate, w, boxwidth, boxheight, streampixels);
    double error = 0;
    int n = 0;
    const double s = w.width / boxwidth;
    for (int y = 4; y < boxheight - 4; ++y)
      for (int x = 4; x < boxwidth - 4; ++x, ++n) {
        // The rings, low-passed as a reduction by s must: near enough the
        // rings themselves where s is near 1.
        const double exact = rings(w.left + (x + 0.5) * s - 0.5, w.top + (y + 0.5) * s - 0.5);
        const double d = out->data[0][(y + 20) * out->linesize[0] + x + 20] - exact;
        error += d * d;
      }
    psnrs.push_back(10 * std::log10(255.0 * 255 / (error / n)));
  }
  // A sampler that rounds or blends two pixels falls below 35 dB on these
  // rings, and more at one place of the window than at the next.
  EXPECT_GT(*std::min_element(psnrs.begin(), psnrs.end()), 45);
}

}  // namespace
