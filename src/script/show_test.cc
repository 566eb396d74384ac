// The show as a viewer sees it: vantrel run on folders of distinct stills,
// its script rendered by a real frame server (what the script takes from
// Windows replaced by stand-ins), and every frame of the video classified
// as the title card, one slide, or a blend of two.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>

#include "fixtures.h"
#include "testdir.h"
#include "testprocess.h"
#if defined(VANTREL_VIDEO)
#include "videoread.h"
#endif

namespace {

// A frame by the mean colour of the middle of each of 4 x 3 blocks, which
// the stills paint in colours of their own.
constexpr unsigned columns = 4, rows = 3;
using signature = std::array<double, columns * rows * 3>;

// What the frame server shows of a script: its size, rate and frames.
struct rendered {
  int width = 0, height = 0, frames = 0;
  double fps = 0;
  std::vector<signature> shown;
};

// Renders a script in dir (rendershow); *error says why if it cannot.
rendered render(const tempdir& dir, const std::string& script, std::string* error) {
  rendered r;
  const runresult run =
      runprogram({VANTREL_RENDERSHOW, VANTREL_FRAMESERVER, dir / script, std::to_string(columns), std::to_string(rows)},
                 dir.path());
  std::istringstream out(run.out);
  unsigned numerator = 0, denominator = 1;
  out >> r.width >> r.height >> numerator >> denominator >> r.frames;
  r.fps = numerator * 1.0 / denominator;
  for (signature s; out >> s[0];) {
    for (size_t i = 1; i < s.size(); ++i) out >> s[i];
    r.shown.push_back(s);
  }
  if (run.status != 0 || r.shown.size() != static_cast<size_t>(r.frames))
    *error = "status " + std::to_string(run.status) + ", " + std::to_string(r.shown.size()) + " frames: " + run.err;
  return r;
}

// How far a is from b, or from the blend alpha b + (1 - alpha) c: the root
// mean square of the difference, in levels.
double rms(const signature& a, const signature& b, double alpha = 1, const signature* c = nullptr) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double mixed = alpha * b[i] + (c ? (1 - alpha) * (*c)[i] : 0);
    sum += (a[i] - mixed) * (a[i] - mixed);
  }
  return std::sqrt(sum / a.size());
}

// A still of blocks in colours drawn from its number.
bool patternstill(const std::string& path, unsigned number) {
  unsigned state = number * 2654435761u + 12345u;
  std::array<rgb, columns * rows> colours;
  for (rgb& c : colours) {
    auto next = [&] {
      return state = state * 1103515245u + 12345u, static_cast<unsigned char>(20 + (state >> 16) % 216);
    };
    c = {next(), next(), next()};
  }
  constexpr unsigned w = 360, h = 288;
  return writepicture(path, w, h,
                      [&](unsigned x, unsigned y) { return colours[y * rows / h * columns + x * columns / w]; });
}

// The weight of a in the blend of a and b that comes nearest to s.
double blendweight(const signature& s, const signature& a, const signature& b) {
  double along = 0, length = 0;
  for (size_t d = 0; d < s.size(); ++d) along += (s[d] - b[d]) * (a[d] - b[d]), length += (a[d] - b[d]) * (a[d] - b[d]);
  return along / length;
}

// What one frame shows: slide `from` alone when from == to (0 is the title
// card), or a blend of slides from and to; from < 0 when it is neither.
struct shown {
  int from = -1, to = -1;
};

// Tells the title card and the slides apart, and blends of two of them.
class classifier {
 public:
  explicit classifier(std::vector<signature> known) : known_(std::move(known)) {}

  shown classify(const signature& s) const {
    int nearest = 0;
    for (size_t k = 1; k < known_.size(); ++k)
      if (rms(s, known_[k]) < rms(s, known_[nearest])) nearest = static_cast<int>(k);
    if (rms(s, known_[nearest]) < tolerance) return {nearest, nearest};
    // A blend is nearest to the one of its two that weighs more: paired
    // with the other, it leaves the least.
    shown best;
    double bestleft = tolerance;
    const signature& a = known_[nearest];
    for (size_t k = 0; k < known_.size(); ++k) {
      if (static_cast<int>(k) == nearest) continue;
      const signature& b = known_[k];
      const double alpha = blendweight(s, a, b);
      const double left = alpha > 0 && alpha < 1 ? rms(s, a, alpha, &b) : tolerance;
      if (left < bestleft)
        bestleft = left, best = {std::min(nearest, static_cast<int>(k)), std::max(nearest, static_cast<int>(k))};
    }
    if (best.from >= 0) return best;
    // Not so with a dark one, such as the title card: every pair, then.
    for (size_t i = 0; i < known_.size(); ++i)
      for (size_t j = i + 1; j < known_.size(); ++j) {
        const double alpha = blendweight(s, known_[i], known_[j]);
        const double left = alpha > 0 && alpha < 1 ? rms(s, known_[i], alpha, &known_[j]) : tolerance;
        if (left < bestleft) bestleft = left, best = {static_cast<int>(i), static_cast<int>(j)};
      }
    return best;
  }

  // Levels of the mean of a block: what JPEG and the frame server's
  // conversions to YUV and back leave of a flat colour is well below it.
  static constexpr double tolerance = 8;

 private:
  std::vector<signature> known_;
};

// The overlap of each transition line of the script, in frames, in slide
// order: the table's rows take 20 frames, a third of it, or 3 s.
std::vector<int> overlaps(const std::string& script) {
  std::vector<int> found;
  const std::regex line(R"(^video=\w+\(video, ?video\d+, ?([^,)]+))");
  std::istringstream in(script);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_search(text, m, line)) continue;
    const std::string overlap = m[1];
    found.push_back(overlap == "overlap" ? 20 : overlap == "overlap/3" ? 6 : overlap == "-3" ? 75 : -1);
  }
  return found;
}

// The script as it runs here: its Import and LoadPlugin lines replaced by
// one Import of the stand-ins, every other line as vantrel wrote it.
std::string withstandins(const std::string& script) {
  std::istringstream in(script);
  std::string out, standins = "Import(\"" VANTREL_SOURCE "/testing/standins.avsi\")";
  const std::regex outside(R"(^\s*(Import|LoadPlugin)\()");
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, outside)) line = std::exchange(standins, "");
    out += line + "\n";
  }
  return out;
}

// Whether vantrel's video shows, frame for frame, what the frame server
// shows of the same script: the same number of frames, and wherever either
// shows one part alone, the other shows that part too, or is in the
// transition into or out of it (the stand-ins dissolve where the video
// wipes, so the faintest frames of each differ), or in slide 1's sparks.
void comparevideo(const std::string& path, std::vector<signature> known, const std::vector<shown>& parts,
                  const std::vector<int>& overlap) {
#if defined(VANTREL_VIDEO)
  const videofile v = readvideo(path);
  ASSERT_EQ(v.error, "");
  ASSERT_EQ(v.frames.size(), parts.size()) << "the video and the frame server's show differ in length";
  known[0] = v.frames.at(0);  // the video's own title card
  std::vector<int> part(parts.size());
  int mismatched = 0, allowed = 50;  // the sparks
  for (size_t k = 0; k + 1 < overlap.size(); ++k) allowed += overlap[k] / 4 + 2;
  // The video's last 3 seconds fade to black, which the script's show does
  // not: they are left out.
  constexpr size_t ending = 75;
  for (size_t f = 0; f + ending < parts.size(); ++f) {
    size_t nearest = 0;
    for (size_t k = 1; k < known.size(); ++k)
      if (blockdistance(v.frames[f], known[k]) < blockdistance(v.frames[f], known[nearest])) nearest = k;
    const bool alone = blockdistance(v.frames[f], known[nearest]) < 12;
    const shown s = parts[f];
    if (alone && s.from == s.to) {
      EXPECT_EQ(static_cast<int>(nearest), s.from) << "frame " << f;
    } else if (alone || s.from == s.to) {
      // One shows a part alone, the other a transition: it must be the
      // transition into or out of that part.
      const int one = alone ? static_cast<int>(nearest) : s.from;
      const int lo = alone ? s.from : -1, hi = alone ? s.to : -1;
      if (alone) {
        EXPECT_TRUE(one == lo || one == hi) << "frame " << f << ": the video shows part " << one
                                            << ", the frame server a blend of " << lo << " and " << hi;
      }
      ++mismatched;
    }
  }
  EXPECT_LE(mismatched, allowed) << "frames where one shows a part alone and the other a transition";
#else
  (void)path, (void)known, (void)parts, (void)overlap;
#endif
}

// The show of n stills: whether it holds every slide once, in order, each
// alone for its hold less its transitions, with a blend between every two;
// and, where this build renders video, whether vantrel's own video of the
// same kit shows the same part at every frame.
void checkshow(int n) {
  const tempdir dir;
  for (int i = 1; i <= n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "DSC%04d.JPG", i);
    ASSERT_TRUE(patternstill(dir / name, static_cast<unsigned>(i)));
  }
#if defined(VANTREL_VIDEO)
  const bool video = n <= 12;
#else
  const bool video = false;
#endif
  // The video in PAL, of the kit's frames, as the frame server shows them.
  const runresult run =
      runprogram(video ? std::vector<std::string>{VANTREL_BINARY, "--video", "show.mp4", "--size", "pal"}
                       : std::vector<std::string>{VANTREL_BINARY},
                 dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string script = readfile(dir / "anim.avs");
  writefile(dir / "show.avs", withstandins(script));

  // The frames as the frame server reads them, and the show.
  std::string error;
  writefile(dir / "frames.avs", "ImageSource(\"out%04d.jpg\", 1, " + std::to_string(n) + ", 25)\n");
  const rendered stills = render(dir, "frames.avs", &error);
  ASSERT_EQ(error, "") << "the frames";
  const rendered show = render(dir, "show.avs", &error);
  ASSERT_EQ(error, "") << "the script does not load or render";
  EXPECT_EQ(show.width, 720);
  EXPECT_EQ(show.height, 576);
  EXPECT_EQ(show.fps, 25.0);

  // Frame 0 is the title card: dark, and none of the slides.
  std::vector<signature> known = {show.shown.at(0)};
  double level = 0;
  for (double v : known[0]) level += v / known[0].size();
  EXPECT_LT(level, 40) << "the first frame is not a title card";
  for (int k = 1; k <= n; ++k) {
    known.push_back(stills.shown.at(k - 1));
    for (int j = 0; j < k; ++j)
      ASSERT_GT(rms(known[k], known[j]), 30) << "slides " << j << " and " << k << " look alike";
  }
  const classifier looks(known);

  // Each slide is alone on screen for its hold less the overlaps into and
  // out of it; the first is held twice (the effect, then itself) and comes
  // out of the title card's 10 frames.
  std::vector<int> overlap = overlaps(script);
  EXPECT_EQ(overlap.size(), static_cast<size_t>(n - 1)) << "transition lines";
  overlap.resize(static_cast<size_t>(n - 1), 20);  // and on, to see what the show does
  ASSERT_EQ(std::count(overlap.begin(), overlap.end(), -1), 0) << "a transition of an unknown overlap in\n" << script;
  overlap.insert(overlap.begin(), 10);  // overlap[k]: from slide k into k + 1, 0 the title
  overlap.push_back(0);
  std::vector<int> hold(n + 1, 150);
  hold[0] = 101, hold[1] = 300;
  int frames = 0;
  for (int k = 0; k <= n; ++k) frames += hold[k] - overlap[k];
  EXPECT_EQ(show.frames, frames);

  // Walked frame by frame: what is on screen stays, blends into the next
  // slide, or after such a blend becomes the next slide (or, between two
  // long transitions, the next blend).
  std::vector<int> alone(n + 1, 0), blended(n + 1, 0);
  std::vector<shown> parts;
  int at = 0;
  bool blending = false;
  auto describe = [](shown s) {
    if (s.from < 0) return std::string("neither a slide nor a blend of two");
    if (s.from == s.to) return s.from == 0 ? std::string("the title card") : "slide " + std::to_string(s.from);
    return "a blend of " + std::to_string(s.from) + " and " + std::to_string(s.to);
  };
  for (int f = 0; f < show.frames; ++f) {
    const shown s = looks.classify(show.shown[static_cast<size_t>(f)]);
    parts.push_back(s);
    if (!blending && s.from == at && s.to == at) {
      ++alone[at];
    } else if (s.from == at && s.to == at + 1) {
      ++blended[at], blending = true;
    } else if (blending && s.from == at + 1 && (s.to == at + 1 || s.to == at + 2)) {
      ++at;
      ++(s.to == at ? alone : blended)[at];
      blending = s.to != at;
    } else {
      FAIL() << "frame " << f << " shows " << describe(s) << " after " << describe({at, blending ? at + 1 : at})
             << (s.from == at + 1 && s.to == at + 1 ? ": a cut" : "");
    }
  }
  EXPECT_EQ(at, n) << "the show ends before its last slide";
  for (int k = 0; k <= n; ++k) {
    const int expected = std::max(0, hold[k] - overlap[k] - (k > 0 ? overlap[k - 1] : 0));
    EXPECT_GE(alone[k], expected) << "slide " << k;
    EXPECT_LE(alone[k], expected + 2 + (overlap[k] + (k > 0 ? overlap[k - 1] : 0)) / 4) << "slide " << k;
    if (k < n) {
      EXPECT_GE(blended[k], std::max(1, overlap[k] / 2)) << "from slide " << k << " to " << k + 1 << ": a cut";
      EXPECT_LE(blended[k], overlap[k]) << "from slide " << k << " to " << k + 1;
    }
  }
  if (video) comparevideo(dir / "show.mp4", known, parts, overlap);
}

TEST(Show, EverySlideOnceInOrderJoinedByTransitions) {
  if (!*VANTREL_RENDERSHOW) GTEST_SKIP() << VANTREL_FRAMESERVER_MISSING;
  for (int n : {1, 2, 3, 5, 12, 95}) {
    SCOPED_TRACE(std::to_string(n) + " stills");
    checkshow(n);
  }
}

}  // namespace
