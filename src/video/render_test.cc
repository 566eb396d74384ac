// The show as a video, read back with the media library: its streams, and
// every frame classified as the title card, one slide, or neither (a
// transition), against the timeline the script describes.
#include "video/render.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "crashhook.h"
#include "fixtures.h"
#include "script/script.h"
#include "testdir.h"
#include "testprocess.h"
#include "videoread.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace {

std::vector<std::string> listfolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

constexpr unsigned columns = signaturecolumns, rows = signaturerows;
using signature = blocksignature;
double rms(const signature& a, const signature& b) { return blockdistance(a, b); }

// The colours of the blocks of still `number`, each its own.
std::array<rgb, columns * rows> patterncolours(unsigned number) {
  unsigned state = number * 2654435761u + 12345u;
  std::array<rgb, columns * rows> colours;
  for (rgb& c : colours) {
    auto next = [&] {
      return state = state * 1103515245u + 12345u, static_cast<unsigned char>(40 + (state >> 16) % 176);
    };
    c = {next(), next(), next()};
  }
  return colours;
}

bool patternstill(const std::string& path, unsigned number, unsigned w, unsigned h) {
  const auto colours = patterncolours(number);
  return writepicture(path, w, h,
                      [&](unsigned x, unsigned y) { return colours[y * rows / h * columns + x * columns / w]; });
}

signature patternsignature(unsigned number) {
  signature s;
  const auto colours = patterncolours(number);
  for (size_t b = 0; b < colours.size(); ++b)
    s[3 * b] = colours[b].r, s[3 * b + 1] = colours[b].g, s[3 * b + 2] = colours[b].b;
  return s;
}

// How a show of n slides came out, frame by frame, against its timeline:
// each frame the timeline holds as one part alone shows that part (the
// title card is dark; the sparks' frames and the ending's fade may stray);
// between two parts alone at least one frame is neither, the middle of the
// transition (a transition, not a cut).
void checkframes(const videofile& v, const timeline& show, const std::vector<unsigned>& numbers) {
  ASSERT_EQ(v.frames.size(), static_cast<size_t>(show.frames()));
  std::vector<signature> known = {v.frames.at(0)};
  double level = 0;
  for (double x : known[0]) level += x / known[0].size();
  EXPECT_LT(level, 40) << "the first frame is not a title card";
  for (unsigned n : numbers) known.push_back(patternsignature(n));
  std::vector<int> seen(known.size(), 0);
  int lastalone = -1;
  bool between = false;
  for (int f = 0; f < show.frames(); ++f) {
    const timeline::moment m = show.at(f);
    int nearest = 0;
    for (size_t k = 1; k < known.size(); ++k)
      if (rms(v.frames[static_cast<size_t>(f)], known[k]) <
          rms(v.frames[static_cast<size_t>(f)], known[static_cast<size_t>(nearest)]))
        nearest = static_cast<int>(k);
    const bool alone = rms(v.frames[static_cast<size_t>(f)], known[static_cast<size_t>(nearest)]) < 12;
    const bool sparks = m.part == 1 && m.partframe >= effectfirst && m.partframe <= effectlast;
    const bool ending = f >= show.frames() - endingframes;
    if (!m.transition() && !sparks && !ending) {
      ASSERT_TRUE(alone && nearest == m.part) << "frame " << f << " is not part " << m.part << " alone";
    }
    if (m.transition() && m.step == m.steps / 2) {
      EXPECT_FALSE(alone) << "frame " << f << ": a cut";
    }
    if (alone && !sparks && (!ending || nearest == m.part)) {
      if (nearest != lastalone) {
        // A slide between two transitions of 75 frames is never alone.
        for (int skipped = lastalone + 1; skipped < nearest; ++skipped)
          ASSERT_LE(show.hold(skipped), show.overlapafter(skipped - 1) + show.overlapafter(skipped))
              << "frame " << f << ": out of order, after part " << lastalone;
        ASSERT_GT(nearest, lastalone) << "frame " << f << ": out of order";
        EXPECT_EQ(seen[static_cast<size_t>(nearest)], 0) << "frame " << f << ": part " << nearest << " again";
        if (lastalone >= 0) {
          EXPECT_TRUE(between) << "frame " << f << ": a cut into part " << nearest;
        }
        ++seen[static_cast<size_t>(nearest)];
      }
      lastalone = nearest, between = false;
    } else {
      between = true;
    }
  }
  EXPECT_EQ(lastalone, show.slides()) << "the show ends before its last slide";
}

// The frames of a kit: still k at 720 x 576 (pattern k, or every one
// painted by paint), all of them one after another in one file, as the
// kit's video holds them.
struct kitframes {
  tempdir dir;
  int source = -1;
  std::vector<filespan> spans;
  std::vector<unsigned> numbers;
  explicit kitframes(int n, const std::function<rgb(unsigned x, unsigned y)>& paint = nullptr) {
    std::string all;
    for (int k = 1; k <= n; ++k) {
      const std::string name = slidename(k);
      EXPECT_TRUE(paint ? writepicture(dir / name, 720, 576, paint)
                        : patternstill(dir / name, static_cast<unsigned>(k), 720, 576));
      const std::string jpeg = readfile(dir / name);
      spans.push_back({all.size() + 1, static_cast<uint32_t>(jpeg.size())});
      all += '-' + jpeg;  // a byte between, as a chunk's header would be
      numbers.push_back(static_cast<unsigned>(k));
    }
    writefile(dir / "frames", all);
    source = ::open((dir / "frames").c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~kitframes() { ::close(source); }
};

TEST(Render, EveryRowAsATransitionBetweenTwoSlides) {
  // Every row once, in a show of 24 slides: 23 transitions. (Under an
  // emulator, whose encoder runs a hundred times slower, three rows: a
  // dissolve, a slide of a third of the overlap and a flip of 3 s.)
#if defined(VANTREL_TEST_EMULATED)
  const std::vector<int> allrows = {1, 12, 14};
  std::cout << "emulated: rows 1, 12 and 14 only; a native build renders every row\n";
#else
  std::vector<int> allrows;
  for (int r = 1; r <= 23; ++r) allrows.push_back(r);
#endif
  const int slides = static_cast<int>(allrows.size()) + 1;
  kitframes kit(slides);
  renderjob job;
  job.show = timeline(slides, allrows);
  job.source = kit.source;
  job.spans = kit.spans;
  job.output = ::open((kit.dir / "show.mp4").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  job.threads = 2;
  job.title = "A title";
  renderer r(job);
  std::string why, music;
  ASSERT_TRUE(r.prepare(&why)) << why;
  int last = 0;
  ASSERT_TRUE(r.render(
      [&](int done) {
        EXPECT_GT(done, last);
        last = done;
      },
      &why, &music))
      << why;
  EXPECT_EQ(last, job.show.frames());
  ::close(job.output);
  const videofile v = readvideo(kit.dir / "show.mp4");
  ASSERT_EQ(v.error, "");
  EXPECT_EQ(v.videocodec, "h264");
  EXPECT_EQ(v.audiocodec, "");
  checkframes(v, job.show, kit.numbers);
}

TEST(Render, AFrameThatCannotBeMadeEndsTheRenderWithItsReason) {
  // Slide 3 of 4 is not a JPEG: the frames before it are made ahead of the
  // encoder, then the render stops and says which frame and why.
  kitframes kit(4);
  renderjob job;
  job.show = timeline(4, {1, 1, 1});
  job.source = kit.source;
  job.spans = kit.spans;
  job.spans[2].size = 16;
  job.spans[2].offset = kit.spans[2].offset + 100;  // inside the picture's data
  job.output = ::open((kit.dir / "show.mp4").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  job.threads = 2;
  renderer r(job);
  std::string why, music;
  ASSERT_TRUE(r.prepare(&why)) << why;
  int last = 0;
  EXPECT_FALSE(r.render([&](int done) { last = done; }, &why, &music));
  EXPECT_EQ(why.rfind("cannot decode frame 3: ", 0), 0u) << why;
  // Slides 1 and 2 reached the encoder, and none of slide 3.
  EXPECT_GT(last, 0);
  EXPECT_LE(last, job.show.start(3));
  ::close(job.output);
}

// The rows a test renders: all 23 (under an emulator, whose encoder runs a
// hundred times slower, a dissolve, a slide of a third of the overlap and a
// flip of 3 s).
std::vector<int> testrows() {
#if defined(VANTREL_TEST_EMULATED)
  std::cout << "emulated: rows 1, 12 and 14 only; a native build renders every row\n";
  return {1, 12, 14};
#else
  std::vector<int> rows;
  for (int r = 1; r <= 23; ++r) rows.push_back(r);
  return rows;
#endif
}

// The show of a kit rendered into file (in the kit's folder), read back.
videofile renderkit(const kitframes& kit, const timeline& show, const std::string& file,
                    const std::function<void(const unsigned char* rgb)>& eachframe = nullptr) {
  renderjob job;
  job.show = show;
  job.source = kit.source;
  job.spans = kit.spans;
  job.output = ::open((kit.dir / file).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  job.form = videoformof(file);
  job.threads = 2;
  job.title = "A title";
  renderer r(job);
  std::string why, music;
  const bool made = r.prepare(&why) && r.render(nullptr, &why, &music);
  ::close(job.output);
  EXPECT_TRUE(made) << why;
  return readvideo(kit.dir / file, eachframe);
}

// Upright stripes of reddish and bluish grey, 4 pixels each, round a
// middle of their mean colour: a picture whose mean colour stays nearly
// where it is when it is slid, squeezed, zoomed into its middle, pixelized
// (each block one pixel's colour) or blurred sideways (a window that looks
// ahead), the more so the closer its two colours. (Saturated ones would
// not: where the stripes' chroma is shared out, red and blue come back
// beyond what RGB holds, clipped.)
rgb stripes(unsigned x, unsigned y) {
  if (x >= 320 && x < 400 && y >= 256 && y < 320) return {128, 96, 128};
  return x / 4 % 2 ? rgb{96, 96, 160} : rgb{160, 96, 96};
}

// Two equal pictures joined by any row keep their colours: every frame's
// mean colour stays the picture's, and where the row does not move the
// picture (all but squeeze, slides, zoom, pixelize and blur), every frame
// is the picture as held.
TEST(Render, EqualPicturesKeepTheirColoursThroughEveryRow) {
  const std::vector<int> rows = testrows();
  const int slides = static_cast<int>(rows.size()) + 1;
  const kitframes kit(slides, stripes);
  const timeline show(slides, rows);
  // From slide 1 held, after its sparks, to the ending's fade.
  const int first = show.start(1) + effectlast + 1, last = show.frames() - endingframes;
  constexpr size_t size = 720 * 576 * 3;
  std::vector<unsigned char> held;
  std::array<double, 3> heldmean{};
  std::map<int, std::pair<double, double>> worst;  // by row: the mean colour's and the picture's distance
  int f = 0;
  const videofile v = renderkit(kit, show, "show.mp4", [&](const unsigned char* rgb) {
    const int at = f++;
    if (at < first || at >= last || (at > first && !show.at(at).transition())) return;
    if (held.empty()) held.assign(rgb, rgb + size);
    // Every second row: the stripes run down.
    uint64_t sums[3] = {0, 0, 0}, squares = 0;
    for (size_t y = 0; y < 576; y += 2)
      for (size_t i = y * 720 * 3; i < (y + 1) * 720 * 3; ++i) {
        const int d = rgb[i] - held[i];
        sums[i % 3] += rgb[i];
        squares += static_cast<uint64_t>(d * d);
      }
    std::array<double, 3> mean{};
    for (size_t c = 0; c < 3; ++c) mean[c] = sums[c] / (size / 6.0);
    if (at == first) heldmean = mean;
    std::pair<double, double>& w = worst[show.at(at).row];
    for (size_t c = 0; c < 3; ++c) w.first = std::max(w.first, std::fabs(mean[c] - heldmean[c]));
    w.second = std::max(w.second, std::sqrt(squares / (size / 2.0)));
  });
  ASSERT_EQ(v.error, "");
  ASSERT_EQ(v.frames.size(), static_cast<size_t>(show.frames()));
  const std::vector<int> moving = {10, 12, 13, 14, 22, 23};
  ASSERT_EQ(worst.size(), rows.size() + 1);  // row 0: the slides held
  for (const auto& [row, w] : worst) {
    EXPECT_LT(w.first, 5) << "row " << row << ": the mean colour moves";
    if (std::find(moving.begin(), moving.end(), row) == moving.end()) {
      EXPECT_LT(w.second, 3) << "row " << row << ": the picture changes";
    }
  }
}

// The rows of a script's transition lines, in order.
std::vector<int> scriptrows(const std::string& script) {
  std::vector<int> found;
  for (const std::string& line : splitlines(script))
    for (int r = 1; r <= 23; ++r) {
      const transition& t = transitions[static_cast<size_t>(r - 1)];
      const std::string suffix(t.suffix.substr(0, t.suffix.size() - 1));
      if (line.compare(0, t.prefix.size(), t.prefix) == 0 && line.size() > suffix.size() &&
          line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0 &&
          line.find_first_not_of("0123456789", t.prefix.size()) == line.size() - suffix.size()) {
        found.push_back(r);
        break;
      }
    }
  return found;
}

// The types of an mp4's top-level boxes, in order.
std::vector<std::string> topboxes(const std::string& file) {
  std::vector<std::string> types;
  for (size_t at = 0; at + 8 <= file.size();) {
    uint64_t size = 0;
    for (size_t i = 0; i < 4; ++i) size = size << 8 | static_cast<unsigned char>(file[at + i]);
    types.push_back(file.substr(at + 4, 4));
    if (size == 1 && at + 16 <= file.size())  // a 64-bit size follows
      for (size_t i = 8; i < 16; ++i) size = (i == 8 ? 0 : size << 8) | static_cast<unsigned char>(file[at + i]);
    if (size < 8) break;
    at += size;
  }
  return types;
}

// The show's ending: its last frames fade evenly from the last slide to
// black, and the last is black.
TEST(Render, TheShowFadesToBlackAtItsEnd) {
  const kitframes kit(2);
  const timeline show(2, {1});
  const videofile v = renderkit(kit, show, "show.mp4");
  ASSERT_EQ(v.error, "");
  ASSERT_EQ(v.frames.size(), static_cast<size_t>(show.frames()));
  auto level = [&](int f) {
    double sum = 0;
    for (double x : v.frames[static_cast<size_t>(f)]) sum += x / v.frames[0].size();
    return sum;
  };
  const int first = show.frames() - endingframes;
  const double held = level(first - 1);
  EXPECT_LT(blockdistance(v.frames[static_cast<size_t>(first - 1)], patternsignature(2)), 12) << "slide 2 before";
  EXPECT_LT(level(show.frames() - 1), 1) << "the last frame is not black";
  for (int f = first; f < show.frames(); ++f) {
    // Each frame a 75th darker than the one before, within a little noise:
    // near black an encoder may take a frame's faint remains for black.
    const double step = level(f - 1) - level(f);
    EXPECT_NEAR(step, held / endingframes, 1.25) << "frame " << f;
  }
}

// A tone of `seconds` at 44.1 kHz, mono, as a WAV file.
void writetone(const std::string& path, double seconds) {
  const uint32_t rate = 44100, samples = static_cast<uint32_t>(rate * seconds);
  std::string wav = "RIFF";
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) wav += static_cast<char>(v >> (8 * i));
  };
  auto u16 = [&](uint16_t v) { wav += static_cast<char>(v & 0xff), wav += static_cast<char>(v >> 8); };
  u32(36 + samples * 2);
  wav += "WAVEfmt ";
  u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
  wav += "data";
  u32(samples * 2);
  for (uint32_t i = 0; i < samples; ++i)
    u16(static_cast<uint16_t>(static_cast<int16_t>(12000 * std::sin(i * 2 * M_PI * 440 / rate))));
  writefile(path, wav);
}

// vantrel --video on a folder of n distinct stills, read back.
TEST(Video, TheShowAsTheScriptDescribesIt) {
  struct {
    int stills;
    std::string file, size, music, title;
    int status;
  } cases[] = {
      {1, "show.mp4", "pal", "", "", 0},
      {2, "show.mkv", "", "tone.wav", "", 0},
      {5, "made/show.mp4", "", "", "Say \"hi\" \\ \xc3\xa9t\xc3\xa9 \xe2\x80\x94 to everyone in the family, twice", 0},
      {12, "show.mp4", "720p", "", "", 0},
      {1, "show.mkv", "2160p", "", "", 0},
      {2, "show.mpg", "", "", "", 0},
      {3, "show.mpg", "pal", "tone.wav", "", 0},
      {2, "show.mp4", "pal", "notaudio.mp3", "", 2},
  };
  for (const auto& c : cases) {
#if defined(VANTREL_TEST_EMULATED)
    // An emulator's encoder is a hundred times slower: the smallest show of
    // each form in PAL, one with music.
    if (c.stills > 2 || c.status != 0 || (c.size != "pal" && c.file.find(".mpg") == std::string::npos)) {
      std::cout << "emulated: skipped " << c.file << " of " << c.stills << " stills\n";
      continue;
    }
#endif
    SCOPED_TRACE(c.file + " of " + std::to_string(c.stills) + " stills" + (c.size.empty() ? "" : " at " + c.size) +
                 (c.music.empty() ? "" : " with " + c.music));
    const tempdir top;
    const std::string dir = top / "stills";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((top / "made").c_str(), 0755), 0);
    std::vector<unsigned> numbers;
    for (int i = 1; i <= c.stills; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "DSC%04d.JPG", i);
      // 16:9, so that an HD frame shows it whole, from edge to edge.
      ASSERT_TRUE(patternstill(dir + "/" + name, static_cast<unsigned>(i + 100), 640, 360));
      numbers.push_back(static_cast<unsigned>(i + 100));
    }
    writetone(top / "tone.wav", 2.5);
    writefile(top / "notaudio.mp3", std::string(5000, 'x'));
    // Files named relative to where vantrel starts, the folder after them.
    std::vector<std::string> command = {VANTREL_BINARY, "--video", c.file};
    if (!c.size.empty()) command.insert(command.end(), {"--size", c.size});
    if (!c.music.empty()) command.insert(command.end(), {"--music", c.music});
    if (!c.title.empty()) command.insert(command.end(), {"--title", c.title});
    command.push_back("stills");
    const runresult run = runprogram(command, top.path());
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::string script = readfile(dir + "/anim.avs");
    const std::vector<int> rows = scriptrows(script);
    ASSERT_EQ(rows.size(), static_cast<size_t>(c.stills - 1)) << script;
    const timeline show(c.stills, rows);
    const videofile v = readvideo(top / c.file);
    ASSERT_EQ(v.error, "");
    const bool mpeg2 = c.file.find(".mpg") != std::string::npos;
    // PAL as the kit is, 4:3 on screen; or HD, 1080p unless asked, with
    // square pixels.
    const bool pal = mpeg2 || c.size == "pal";
    const int height = pal ? 576 : c.size == "720p" ? 720 : c.size == "2160p" ? 2160 : 1080;
    EXPECT_EQ(v.width, pal ? 720 : height * 16 / 9);
    EXPECT_EQ(v.height, height);
    EXPECT_EQ(v.sar.num * (pal ? 15 : 1), v.sar.den * (pal ? 16 : 1)) << "its shape on screen";
    EXPECT_EQ(v.fps.num, 25 * v.fps.den);
    checkframes(v, show, numbers);
    EXPECT_EQ(v.videocodec, mpeg2 ? "mpeg2video" : "h264");
    // Its colours said (BT.601 for 625 lines, BT.709 for HD, limited
    // range), and an mp4's index before its data, where a browser finds it
    // first.
    EXPECT_EQ(v.matrix + " " + v.primaries + " " + v.transfer + " " + v.range,
              pal ? "bt470bg bt470bg smpte170m tv" : "bt709 bt709 bt709 tv");
    if (c.file.find(".mp4") != std::string::npos) {
      const std::vector<std::string> boxes = topboxes(readfile(top / c.file));
      const auto index = std::find(boxes.begin(), boxes.end(), "moov"),
                 data = std::find(boxes.begin(), boxes.end(), "mdat");
      EXPECT_TRUE(index < data && data != boxes.end()) << "moov after mdat";
    }
    if (mpeg2) {
      EXPECT_LE(v.gop, 15);
      EXPECT_GT(v.bitrate, 0);
      EXPECT_LE(v.bitrate, 9800000);
    }
    // Music that cannot be used leaves the sound track silent.
    const bool sound = mpeg2 || !c.music.empty();
    EXPECT_EQ(v.audiocodec, !sound ? "" : mpeg2 ? "mp2" : "aac");
    if (sound) {
      EXPECT_EQ(v.audiorate, 48000);
      EXPECT_EQ(v.audiochannels, 2);
      EXPECT_NEAR(v.audioseconds, v.videoseconds, 0.1);
      if (c.music.empty() || c.status != 0) {
        EXPECT_EQ(v.audiolevel, 0) << "silence";
      } else {
        EXPECT_GT(v.audiolevel, 0.05) << "the tone, looped";
      }
    }
    if (c.status == 2) {
      EXPECT_NE(run.err.find(c.music + ": "), std::string::npos) << run.err;
    }
    if (!c.music.empty()) {
      EXPECT_NE(script.find("mpasource(\"" + top / c.music + "\")"), std::string::npos) << "the music's absolute path";
    }
    if (!c.title.empty()) {
      EXPECT_NE(script.find("\"Say \" + Chr(34) + \"hi\" + Chr(34)"), std::string::npos) << script;
    }
    // Nothing left beside the video.
    for (const std::string& folder : {top.path(), top / "made"})
      for (const std::string& name : listfolder(folder)) EXPECT_NE(name[0], '.') << folder << "/" << name;
  }
}

// A frame of slide k held alone, away from its transitions and the sparks.
int heldframe(const timeline& show, int k) {
  const int f = show.start(k) + (k == 1 ? 2 * effectlast : show.overlapafter(k - 1) + 20);
  EXPECT_FALSE(show.at(f).transition());
  return f;
}

// The stills of a video at 1080p and its frames, at the video's own size.
struct hdshow {
  tempdir top;
  std::vector<std::vector<unsigned char>> frames;
  timeline show{0, {}};
  videofile video;
  explicit hdshow(const std::vector<std::function<bool(const std::string&)>>& stills) {
    const std::string dir = top / "stills";
    EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0);
    for (size_t i = 0; i < stills.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/DSC%04zu.JPG", i + 1);
      EXPECT_TRUE(stills[i](dir + name));
    }
    const runresult run = runprogram({VANTREL_BINARY, "--video", "show.mp4", "stills"}, top.path());
    EXPECT_EQ(run.status, 0) << run.err;
    show = timeline(static_cast<int>(stills.size()), scriptrows(readfile(dir + "/anim.avs")));
    std::vector<int> wanted;
    for (int k = 1; k <= show.slides(); ++k) wanted.push_back(heldframe(show, k));
    int f = 0;
    video = readvideo(
        top / "show.mp4",
        [&](const unsigned char* rgb) {
          if (std::find(wanted.begin(), wanted.end(), f++) != wanted.end())
            frames.emplace_back(rgb, rgb + 1920 * 1080 * 3);
        },
        true);
    EXPECT_EQ(video.width, 1920);
    EXPECT_EQ(frames.size(), stills.size());
  }
};

TEST(Video, EachPhotoStandsWholeInItsTrueShapeAt1080p) {
#if defined(VANTREL_TEST_EMULATED)
  GTEST_SKIP() << "an emulator's encoder is a hundred times slower: the HD shows are for a native build";
#endif
  const struct {
    unsigned width, height, boxwidth, boxheight;
  } shapes[] = {{800, 600, 1440, 1080},
                {900, 600, 1620, 1080},
                {1280, 720, 1920, 1080},
                {600, 800, 810, 1080},
                {1470, 630, 1920, 823}};
  std::vector<std::function<bool(const std::string&)>> stills;
  for (const auto& shape : shapes)
    stills.push_back([&](const std::string& path) {
      return writepicture(path, shape.width, shape.height, [](unsigned, unsigned) { return rgb{200, 160, 60}; });
    });
  const hdshow hd(stills);
  for (size_t k = 0; k < hd.frames.size(); ++k) {
    // Where the picture is: what is not black.
    unsigned left = 1920, right = 0, top = 1080, bottom = 0;
    for (unsigned y = 0; y < 1080; ++y)
      for (unsigned x = 0; x < 1920; ++x)
        if (hd.frames[k][(size_t{y} * 1920 + x) * 3] > 60)
          left = std::min(left, x), right = std::max(right, x + 1), top = std::min(top, y),
          bottom = std::max(bottom, y + 1);
    SCOPED_TRACE(std::to_string(shapes[k].width) + " x " + std::to_string(shapes[k].height));
    EXPECT_NEAR(right - left, shapes[k].boxwidth, 2);
    EXPECT_NEAR(bottom - top, shapes[k].boxheight, 2);
    EXPECT_NEAR(left, (1920 - shapes[k].boxwidth) / 2, 2) << "centred";
    EXPECT_NEAR(top, (1080 - shapes[k].boxheight) / 2, 2) << "centred";
  }
}

TEST(Video, ADetailedPhotoKeepsItsDetailAt1080p) {
#if defined(VANTREL_TEST_EMULATED)
  GTEST_SKIP() << "an emulator's encoder is a hundred times slower: the HD shows are for a native build";
#endif
  // Fine waves of periods from 8 to 20 pixels in a 2880 x 2160 photo: 4 to
  // 10 pixels in its 1440 x 1080 box, detail a 720-wide frame cannot hold.
  const auto texture = [](unsigned x, unsigned y) {
    const double v = 128 + 30 * std::sin(x * 2 * M_PI / 8.5) + 30 * std::sin((x + 2 * y) * 2 * M_PI / 20) +
                     25 * std::sin(y * 2 * M_PI / 11.3);
    const auto c = static_cast<unsigned char>(std::clamp(v, 0.0, 255.0));
    return rgb{c, c, c};
  };
  const hdshow hd({[&](const std::string& path) { return writepicture(path, 2880, 2160, texture); }});
  const picture still = readpicture(hd.top / "stills/DSC0001.JPG");
  ASSERT_EQ(still.width, 2880u);
  // The test's own reduction: each 2 x 2 of the photo as decoded, averaged.
  const auto reduced = [&](unsigned x, unsigned y) {
    double sum = 0;
    for (unsigned dy = 0; dy < 2; ++dy)
      for (unsigned dx = 0; dx < 2; ++dx) sum += still.at(2 * x + dx, 2 * y + dy).g;
    return sum / 4;
  };
  const auto shown = [&](unsigned x, unsigned y) { return double(hd.frames[0][(size_t{y} * 1920 + x + 240) * 3 + 1]); };
  // Away from the box's edges: the difference, and the detail (the
  // energy of the Laplacian) of each.
  double error = 0, detail = 0, reference = 0;
  size_t n = 0;
  for (unsigned y = 8; y < 1072; ++y)
    for (unsigned x = 8; x < 1432; ++x, ++n) {
      error += (shown(x, y) - reduced(x, y)) * (shown(x, y) - reduced(x, y));
      auto laplacian = [&](const auto& at) {
        return 4 * at(x, y) - at(x - 1, y) - at(x + 1, y) - at(x, y - 1) - at(x, y + 1);
      };
      detail += laplacian(shown) * laplacian(shown);
      reference += laplacian(reduced) * laplacian(reduced);
    }
  const double psnr = 10 * std::log10(255.0 * 255 / (error / n));
  std::cout << "PSNR against the test's reduction " << psnr << " dB, detail " << detail / reference << " of it\n";
  EXPECT_GT(psnr, 30);
  EXPECT_GT(detail / reference, 0.8);
}

TEST(Video, EveryPhotoDriftsSmoothlyInsideItsBox) {
#if defined(VANTREL_TEST_EMULATED)
  GTEST_SKIP() << "an emulator's encoder is a hundred times slower: the moving shows are for a native build";
#endif
  // Four soft dots on grey in a 4:3 photo, its box 960 x 720 at 720p: the
  // slide's motion is drawn at random, but whatever it is, each dot must
  // glide (the second difference of its path small, whatever the encoder
  // adds) and never step back, and the box must show nothing but the photo.
  const tempdir top;
  const std::string dir = top / "stills";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const double dots[4][2] = {{560, 420}, {1040, 420}, {560, 780}, {1040, 780}};
  ASSERT_TRUE(writepicture(dir + "/DSC0001.JPG", 1600, 1200, [&](unsigned x, unsigned y) {
    double v = 110;
    for (const auto& d : dots) v += 130 * std::exp(-((x - d[0]) * (x - d[0]) + (y - d[1]) * (y - d[1])) / 200.0);
    const auto c = static_cast<unsigned char>(std::min(v, 255.0));
    return rgb{c, c, c};
  }));
  const runresult run =
      runprogram({VANTREL_BINARY, "--video", "show.mp4", "--size", "720p", "--motion", "stills"}, top.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const timeline show(1, {});
  std::vector<std::array<std::pair<double, double>, 4>> paths;
  int f = 0, dark = 0;
  // Where each dot was last seen, in the frame; its box is 160 ... 1120.
  // Where the slide starts zoomed in or to one side, a dot is first seen
  // up to 70 pixels from its place in the whole photo (and 216 from the
  // next dot); then a frame moves it by a pixel or two at most.
  std::array<std::pair<double, double>, 4> last;
  for (int i = 0; i < 4; ++i) last[i] = {160 + dots[i][0] * 0.6, dots[i][1] * 0.6};
  readvideo(
      top / "show.mp4",
      [&](const unsigned char* rgbframe) {
        const timeline::moment m = show.at(f++);
        if (m.part != 1 || m.transition() || m.partframe <= effectlast + 5 || show.frames() - f < endingframes) return;
        auto luma = [&](int x, int y) { return rgbframe[(static_cast<size_t>(y) * 1280 + x) * 3 + 1]; };
        for (int y = 1; y < 719; y += 3)
          for (int x = 161; x < 1119; x += 3) dark += luma(x, y) < 60;
        std::array<std::pair<double, double>, 4> seen;
        const int reach = paths.empty() ? 100 : 30;
        for (int i = 0; i < 4; ++i) {
          double sum = 0, sx = 0, sy = 0;
          const int cx = static_cast<int>(last[i].first), cy = static_cast<int>(last[i].second);
          for (int y = std::max(0, cy - reach); y <= std::min(719, cy + reach); ++y)
            for (int x = std::max(0, cx - reach); x <= std::min(1279, cx + reach); ++x) {
              const double v = std::max(0, luma(x, y) - 140);
              sum += v, sx += v * x, sy += v * y;
            }
          if (sum > 0) last[i] = {sx / sum, sy / sum};
          seen[i] = last[i];
        }
        paths.push_back(seen);
      },
      true);
  ASSERT_GT(paths.size(), 100u);
  EXPECT_EQ(dark, 0) << "the frame's black inside the photo's box";
  for (int i = 0; i < 4; ++i) {
    double rough = 0, back = 0;
    const auto& p = paths;
    for (size_t k = 1; k + 1 < p.size(); ++k)
      rough += std::pow(p[k + 1][i].first - 2 * p[k][i].first + p[k - 1][i].first, 2) +
               std::pow(p[k + 1][i].second - 2 * p[k][i].second + p[k - 1][i].second, 2);
    // A step against the way the dot goes there (its mean step over seven
    // frames), where it goes at a tenth of a pixel a frame or more: a zoom
    // with a pan may bend a dot's path, but never turn it back.
    for (size_t k = 3; k + 3 < p.size(); ++k) {
      const double gx = (p[k + 3][i].first - p[k - 3][i].first) / 6, gy = (p[k + 3][i].second - p[k - 3][i].second) / 6;
      const double speed = std::hypot(gx, gy);
      if (speed >= 0.1)
        back = std::min(
            back, ((p[k][i].first - p[k - 1][i].first) * gx + (p[k][i].second - p[k - 1][i].second) * gy) / speed);
    }
    const double total = std::hypot(p.back()[i].first - p.front()[i].first, p.back()[i].second - p.front()[i].second);
    rough = std::sqrt(rough / (paths.size() - 2));
    std::cout << "dot " << i << ": moved " << total << " px, second difference " << rough
              << " px a frame a frame, steps back " << -back << " px at most\n";
    EXPECT_LT(rough, 0.06) << "dot " << i << " shakes";
    EXPECT_GT(back, -0.05) << "dot " << i << " steps back";
  }
}

TEST(Video, ARenderCutShortLeavesTheUsersFileAndNothingElse) {
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal == SIGINT ? "Ctrl-C" : "killed");
    const tempdir dir, capture;
    for (int i = 1; i <= 12; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "DSC%04d.JPG", i);
      ASSERT_TRUE(patternstill(dir / name, static_cast<unsigned>(i), 360, 288));
    }
    writefile(dir / "show.mp4", "a video of the user's own");
    const std::string tag = "VANTREL_TEST_RUN=" + dir.path();
    const int pid =
        startprogram({"env", tag, VANTREL_BINARY, "--video", "show.mp4"}, dir.path(), capture / "out", capture / "err");
    // Cut short once the kit is committed and the render has begun.
    const auto start = std::chrono::steady_clock::now();
    while ((access((dir / "anim.avs").c_str(), F_OK) != 0 || access((dir / ".anim.avs.new").c_str(), F_OK) == 0) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, signal);
    EXPECT_EQ(finishprogram(pid).status, 128 + signal);
    if (signal == SIGINT) {
      EXPECT_NE(readfile(capture / "err").find("vantrel: interrupted (Interrupt): 12 slides made"), std::string::npos)
          << readfile(capture / "err");
    }
    EXPECT_EQ(readfile(dir / "show.mp4"), "a video of the user's own");
    for (const std::string& name : listfolder(dir.path())) EXPECT_NE(name[0], '.') << name;
    EXPECT_TRUE(readfile(dir / "anim.avs").find("video12=") != std::string::npos) << "the kit committed";
    std::vector<int> left = processeswith(tag);
    for (int waited = 0; !left.empty() && waited < 100; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      left = processeswith(tag);
    }
    EXPECT_EQ(left, std::vector<int>{}) << "the render outlives the run";
  }
}

TEST(Video, MusicThatIsNoLongerAFileIsNotWaitedOn) {
  // The music was a file when the command line was checked; when the render
  // opens it, it is something else, never waited on: the render's line
  // names it and the video is made silent.
  const struct {
    std::function<bool(const std::string& path)> make;
    std::string reason;
  } swaps[] = {
      {makefifo, "not a regular file"},  // opened, it would wait for a writer for good
      {[](const std::string& p) { return linkto("/dev/zero", p); }, "not a regular file"},
      {[](const std::string& p) { return ::mkdir(p.c_str(), 0755) == 0; }, "Is a directory"},
  };
  for (const auto& c : swaps) {
#if defined(VANTREL_TEST_EMULATED)
    if (&c != swaps) break;
    std::cout << "emulated: a FIFO only; a native build renders the others\n";
#endif
    const tempdir dir, capture;
    ASSERT_TRUE(patternstill(dir / "DSC0001.JPG", 101, 360, 288));
    writefile(dir / "DSC0002.JPG.hold", holdmarker);  // the run waits on it while the music changes
    writetone(dir / "tone.wav", 1);
    std::vector<std::string> command = preloading(VANTREL_CRASHHOOK);
    command.insert(command.end(), {"ASAN_OPTIONS=verify_asan_link_order=0", VANTREL_BINARY, "--video", "show.mp4",
                                   "--size", "pal", "--music", "tone.wav"});
    const int pid = startprogram(command, dir.path(), capture / "out", capture / "err");
    const int worker = heldworker(pid);
    ASSERT_NE(worker, 0) << "no worker was held: " << readfile(capture / "err");
    ASSERT_TRUE(::unlink((dir / "tone.wav").c_str()) == 0 && c.make(dir / "tone.wav"));
    ::kill(worker, SIGKILL);
    EXPECT_EQ(finishprogram(pid).status, 2) << c.reason;
    EXPECT_EQ(withoutemulatornotes(readfile(capture / "err")),
              "vantrel: DSC0002.JPG.hold: cannot load: the worker was killed (Killed)\nvantrel: " + dir / "tone.wav" +
                  ": cannot read: " + c.reason + "; the video is silent\n");
    const videofile v = readvideo(dir / "show.mp4");
    ASSERT_EQ(v.error, "");
    EXPECT_EQ(v.audiocodec, "");
    checkframes(v, timeline(1, {}), {101});
  }
}

TEST(Video, NoFormNoVideo) {
  for (const std::string file : {"show.avi", "show", "show.mp4.part"}) {
    const tempdir dir;
    ASSERT_TRUE(patternstill(dir / "DSC0001.JPG", 1, 360, 288));
    const runresult run = runprogram({VANTREL_BINARY, "--video", file}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(file + ": a video is .mp4, .mkv"), std::string::npos) << run.err;
    EXPECT_EQ(listfolder(dir.path()), std::vector<std::string>{"DSC0001.JPG"}) << "nothing written";
  }
}

}  // namespace
