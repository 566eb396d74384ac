#include "script/script.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testdir.h"

namespace {

// The blocks as another program will read them, written out independently
// of the escaped literals in the source; "@" stands for the number of slides.
const std::string kheader = R"(Import("c:\apps\avisynth2\plugins\avsi\dv.avsi") # for newundot()
 Import("c:\apps\avisynth2\plugins\avsi\transitions.avsi")
 Import("c:\apps\avisynth2\plugins\avsi\jdl-effects.avsi")
 Import("c:\apps\avisynth2\plugins\avsi\jdl-range.avsi")
 Import("c:\apps\avisynth2\plugins\avsi\lremovedust.avsi")
 Import("c:\apps\avisynth2\plugins\avsi\limitedsharpenfaster.avsi")
 LoadPlugin("c:\apps\avisynth2\plugins\transall\TransAll.dll") # transitions
 LoadPlugin("c:\apps\avisynth2\plugins\effectsmany\EffectsMany.dll") # effects
 try { setmtmode(2,2) } catch(err) { }
 n=@                            # numbers of stills
 fname="out%04d.jpg"
 exposition=150                  # should be even. includes overlap (change in future)
 overlap=20
 framerate=25


 )";

const std::string ksource = R"(video=directshowsource("outhuffy.avi")
 video=video.DUP_FRAMES(exposition)
 video=video.AssumeFPS(framerate).converttoyv12(interlaced=false)
 video=video.trim(0,exposition*@)
 audio=mpasource("c:\path\toyourmusic\x.mp3")
 video=audiodub(video,audio)
 video=video.assumetff() # assume TFF video
 
)";

// Lines here end in "\ " followed by a line break, which a raw literal
// spanning lines cannot hold without a warning; each line is its own literal.
const std::string ktitle = std::string("\n") +
                           R"(credstart=BlankClip(video.trim(0,100)).Subtitle( \ )" "\n"
                           R"(   "\n\n\n\n            Put your clip introduction\n"+ \ )" "\n"
                           R"(   "                here\n" + \ )" "\n"
                           R"(   "\n                            \n" + \ )" "\n"
                           R"(   "\n           Website: vantrel.example.org", \ )" "\n"
                           R"(          lsp=10, halo_color=$ff000000, size=32) )" "\n"
                           R"( video=Dissolve(credstart,video,10))" "\n";

const char kend[] = R"(
video
 function DUP_FRAMES(clip clip, int count)
 {
   # tricky !
   # add room for new frames (changeFPS doesn't change the framecount)
   clip + BlankClip(clip,length=clip.framecount*(count-1)-(count/2))
   ChangeFPS(framerate*count)
   return last
 }
 
)";

const std::string keffect = "video=video1.EffectFireworks1(1,50,rise=280)++video1\n";

std::string withnumber(std::string block, const std::string& number) {
  return block.replace(block.find('@'), 1, number);
}

std::string chain(int count, std::vector<int> draws, int* used = nullptr) {
  std::ostringstream out;
  size_t next = 0;
  writetransitionchain(out, count, [&] { return draws.at(next++); });
  if (used) *used = static_cast<int>(next);
  return out.str();
}

TEST(ScriptBlocks, AreByteExactWithTheirSizes) {
  // The number of slides stands in the header and the source block; a
  // script of no slides keeps the numbers it always had.
  for (const auto& [slides, number] : {std::pair<int, const char*>{0, nullptr}, {1, "1"}, {12, "12"}, {10000, "10000"}}) {
    EXPECT_EQ(headerblock(slides), withnumber(kheader, number ? number : "50")) << slides;
    EXPECT_EQ(sourceblock(slides), withnumber(ksource, number ? number : "89")) << slides;
  }
  EXPECT_EQ(titleblock, ktitle);
  EXPECT_EQ(endblock, kend);
  EXPECT_EQ(headerblock(0).size(), 753u);
  EXPECT_EQ(sourceblock(0).size(), 297u);
  EXPECT_EQ(endblock.size(), 257u);
  EXPECT_EQ(openingeffectline, keffect);
  // No carriage returns: the script is written with LF line ends.
  for (const std::string& block : {headerblock(5), sourceblock(5), std::string(titleblock), std::string(endblock)})
    EXPECT_EQ(block.find('\r'), std::string::npos);
}

TEST(ScriptBlocks, TheWholeScriptJoinsAtTheRightPlaces) {
  const struct {
    int slides;
    std::string middle;  // between the source block and the title block
  } cases[] = {
      {0, keffect},
      {1, "video1=video.trim(exposition*0,exposition*1-1)\n" + keffect},
      // The last slide is chained too.
      {2, "video1=video.trim(exposition*0,exposition*1-1)\n"
          "video2=video.trim(exposition*1,exposition*2-1)\n" +
              keffect + "video=Wipe(video,video2,overlap,\"left\")\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    writescript(out, c.slides, [] { return 1; });
    const std::string text = out.str();
    const std::string n = c.slides > 0 ? std::to_string(c.slides) : "";
    EXPECT_EQ(text, withnumber(kheader, n.empty() ? "50" : n) + withnumber(ksource, n.empty() ? "89" : n) + c.middle +
                        ktitle + kend)
        << c.slides;
    // The header's last line is a lone space that the source block continues.
    EXPECT_NE(text.find("\n\n\n video=directshowsource(\"outhuffy.avi\")\n"), std::string::npos);
    // The source block ends on a line of one space; what follows starts a new line.
    EXPECT_NE(text.find("# assume TFF video\n \nvideo"), std::string::npos);
  }
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

TEST(TransitionChain, EveryRowIsReachableAndExact) {
  std::vector<int> draws;
  for (int r = 0; r < 23; ++r) draws.push_back(r + 23 * r);  // large values still map to row r+1
  const std::vector<std::string> got = splitlines(chain(25, draws));
  ASSERT_EQ(got.size(), 24u);
  const std::vector<std::string> expected = {
      "video=Dissolve(video,video2, overlap)",
      "video=Wipe(video,video3,overlap,\"left\")",
      "video=Wipe(video,video4,overlap,\"right\")",
      "video=Wipe(video,video5,overlap,\"up\")",
      "video=Wipe(video,video6,overlap,\"down\")",
      "video=FuzzyWipe(video,video7,overlap,12,\"left\")",
      "video=FuzzyWipe(video,video8,overlap,12,\"right\")",
      "video=FuzzyWipe(video,video9,overlap,12,\"up\")",
      "video=FuzzyWipe(video,video10,overlap,12,\"down\")",
      "video=TransFunnel(video, video11,overlap)",
      "video=TransMarbles(video, video12,overlap)",
      "video=TransSprite(video, video13,overlap/3,\"right\")",
      "video=TransSprite(video, video14,overlap/3,\"left\")",
      "video=TransFlipTurn(video, video15,-3,-2,nturns=0)",
      "video=TransDisco(video, video16,overlap)",
      "video=TransSlantRollIn(video, video17,overlap,\"se\")",
      "video=TransPaint(video, video18,overlap)",
      "video=TransPeel(video, video19,overlap)",
      "video=TransTwinDoors(video, video20,overlap,false,true)",
      "video=TransShuffle(video, video21,overlap,\"left\")",
      "video=TransShuffle(video, video22,overlap,\"right\")",
      "video=TransCrumple(video, video23,overlap)",
      "video=TransScratch(video, video24,overlap,\"laser\")",
  };
  EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()), expected);
}

TEST(TransitionChain, TheSeededDefaultDrawsValidRows) {
  std::ostringstream whole;
  writescript(whole, 51);
  const std::string text = whole.str();
  const size_t from = text.find(keffect), to = text.find(ktitle);
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
