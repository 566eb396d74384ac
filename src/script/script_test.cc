#include "script/script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testdir.h"

namespace {

// Scripts written by a known-good build, compared byte for byte: a change
// to any block, line end or join shows as a difference here. anim-0.avs has
// no slides (the fixed numbers); anim-24.avs draws every transition row
// once, in order (draw r + 23 r for slide r + 2).
std::string golden(const char* name) { return readfile(std::string(VANTREL_SOURCE "/src/script/testdata/") + name); }

std::string script(int slides, std::vector<int> draws) {
  std::ostringstream out;
  size_t next = 0;
  writescript(out, slides, [&] { return draws.at(next++); });
  return out.str();
}

const std::string keffect(openingeffectline);

std::string chain(int count, std::vector<int> draws, int* used = nullptr) {
  std::ostringstream out;
  size_t next = 0;
  writetransitionchain(out, count, [&] { return draws.at(next++); });
  if (used) *used = static_cast<int>(next);
  return out.str();
}

TEST(ScriptBlocks, MatchTheGoldenScripts) {
  EXPECT_EQ(script(0, {}), golden("anim-0.avs"));
  std::vector<int> draws;
  for (int r = 0; r < 23; ++r) draws.push_back(r + 23 * r);  // large values still map to row r+1
  const std::string text = script(24, draws);
  EXPECT_EQ(text, golden("anim-24.avs"));
  // The pieces are the script's own, joined in order: header, source, the
  // clip lines, the chain, title card, end.
  std::ostringstream opening;
  writescriptopening(opening, 24);
  EXPECT_EQ(text.substr(0, opening.str().size()), opening.str());
  EXPECT_EQ(text.substr(text.size() - titleblock.size() - endblock.size()),
            std::string(titleblock) + std::string(endblock));
  // The number of slides stands in the header and the source block; a
  // script of no slides keeps the numbers it always had.
  for (const int slides : {1, 12, 10000}) {
    const std::string n = std::to_string(slides);
    EXPECT_NE(headerblock(slides).find("\n n=" + n + " "), std::string::npos) << slides;
    EXPECT_NE(sourceblock(slides).find("exposition*" + n + ")\n"), std::string::npos) << slides;
    EXPECT_EQ(headerblock(slides).size(), headerblock(0).size() - 2 + n.size());
    EXPECT_EQ(sourceblock(slides).size(), sourceblock(0).size() - 2 + n.size());
  }
  // The names the script speaks of are the kit's.
  EXPECT_NE(text.find(std::string(" fname=\"") + framepattern + "\"\n"), std::string::npos);
  EXPECT_NE(text.find(std::string("video=directshowsource(\"") + videoname + "\")\n"), std::string::npos);
}

TEST(ScriptLines, ClipLinesCountFromZero) {
  std::ostringstream out;
  writeclipline(out, 1);
  writeclipline(out, 12);
  writeclipline(out, 10000);
  EXPECT_EQ(out.str(),
            "video1=video.trim(exposition*0,exposition*1-1)\n"
            "video12=video.trim(exposition*11,exposition*12-1)\n"
            "video10000=video.trim(exposition*9999,exposition*10000-1)\n");
}

TEST(TransitionChain, OneSlideGivesTheEffectLineOnly) {
  for (int slides = 0; slides <= 1; ++slides) {
    int used = -1;
    EXPECT_EQ(chain(slides + 1, {}, &used), keffect) << slides << " slides";
    EXPECT_EQ(used, 0);
  }
}

TEST(TransitionChain, TwoSlidesChainTheSecond) {
  int used = 0;
  EXPECT_EQ(chain(3, {0}, &used), keffect + "video=Dissolve(video,video2, overlap)\n");
  EXPECT_EQ(used, 1);
}

TEST(TransitionChain, CoversSlidesTwoToLastInOrder) {
  // Six slides: rows are drawn for video2 ... video6, the last slide included.
  const std::vector<std::string> got = splitlines(chain(7, {15, 0, 23, 22, 45}));
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0] + "\n", keffect);
  EXPECT_EQ(got[1], "video=TransSlantRollIn(video, video2,overlap,\"se\")");
  EXPECT_EQ(got[2], "video=Dissolve(video,video3, overlap)");
  EXPECT_EQ(got[3], "video=Dissolve(video,video4, overlap)");  // 23 wraps to row 1
  EXPECT_EQ(got[4], "video=TransScratch(video, video5,overlap,\"laser\")");
  EXPECT_EQ(got[5], "video=TransScratch(video, video6,overlap,\"laser\")");
}

TEST(TransitionChain, TheSeededDefaultDrawsValidRows) {
  std::ostringstream whole;
  writescript(whole, 51);
  const std::string text = whole.str();
  const size_t from = text.find(keffect), to = text.find(titleblock);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::vector<std::string> got = splitlines(text.substr(from, to - from));
  ASSERT_EQ(got.size(), 51u);
  std::set<std::string> known;
  for (const transition& t : transitions) known.insert(std::string(t.prefix));
  for (size_t i = 1; i < got.size(); ++i) {
    const std::string number = std::to_string(i + 1);
    const size_t at = got[i].find("video" + number + ",");
    ASSERT_NE(at, std::string::npos) << got[i];
    EXPECT_EQ(known.count(got[i].substr(0, at + 5)), 1u) << got[i];
  }
}

}  // namespace
