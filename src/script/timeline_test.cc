#include "script/timeline.h"

#include <gtest/gtest.h>

#include <sstream>

#include "script/script.h"

namespace {

TEST(Timeline, LengthsAddLessTheOverlaps) {
  struct {
    int slides;
    std::vector<int> rows;
    int frames;
  } cases[] = {
      {1, {}, 101 - 10 + 300},
      {2, {1}, 101 - 10 + 300 - 20 + 150},
      {3, {12, 14}, 101 - 10 + 300 - 6 + 150 - 75 + 150},
      {4, {14, 14, 13}, 91 + 300 - 75 + 150 - 75 + 150 - 6 + 150},
  };
  for (const auto& c : cases) {
    const timeline show(c.slides, c.rows);
    EXPECT_EQ(show.frames(), c.frames) << c.slides;
    // Walked frame by frame: parts in order, each transition's steps
    // counted up from 0, every part alone at least once but between two
    // flip turns.
    int part = 0, step = -1;
    for (int f = 0; f < show.frames(); ++f) {
      const timeline::moment m = show.at(f);
      ASSERT_TRUE(m.part == part || m.part == part + 1) << f;
      if (m.part != part) part = m.part, step = -1;
      if (m.transition()) {
        EXPECT_EQ(m.step, ++step) << f;
        EXPECT_EQ(m.steps, show.overlapafter(m.part));
        EXPECT_EQ(m.row, m.part == 0 ? 0 : c.rows[static_cast<size_t>(m.part - 1)]);
        EXPECT_EQ(m.partframe, show.hold(m.part) - m.steps + m.step) << f;
      } else {
        step = -1;
      }
    }
    EXPECT_EQ(part, c.slides);
    EXPECT_EQ(show.at(0).part, 0);
    EXPECT_EQ(show.at(91).step, 0) << "the title's dissolve";
  }
  EXPECT_THROW(timeline(2, {}), std::invalid_argument);
  EXPECT_THROW(timeline(2, {24}), std::invalid_argument);
}

TEST(Timeline, TransitionFramesAsTheScriptsRowsSay) {
  for (int row = 1; row <= 23; ++row)
    EXPECT_EQ(transitionframes(row), row == 12 || row == 13 ? 6 : row == 14 ? 75 : 20) << row;
}

TEST(Timeline, TheRowsDrawnAreTheScriptsRows) {
  int next = 0;
  const std::vector<int> draws = {0, 22, 45, 13};
  const std::vector<int> rows = drawrows(5, [&] { return draws.at(static_cast<size_t>(next++)); });
  EXPECT_EQ(rows, (std::vector<int>{1, 23, 23, 14}));
  std::ostringstream fromrows, fromdraws;
  writescript(fromrows, 5, rows);
  next = 0;
  writescript(fromdraws, 5, [&] { return draws.at(static_cast<size_t>(next++)); });
  EXPECT_EQ(fromrows.str(), fromdraws.str());
  EXPECT_NE(fromrows.str().find("video=TransFlipTurn(video, video5,-3,-2,nturns=0)\n"), std::string::npos);
}

TEST(Timeline, TitleLinesWrapped) {
  struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"Summer", {"Summer"}},
      {"", {""}},
      {"one two three", {"one two", "three"}},
      {"abcdefghij", {"abcdefgh", "ij"}},
      {"a\nb", {"a", "b"}},
      {"tab\there", {"tab here"}},
      {"\xc3\xa9t\xc3\xa9 \xc3\xa0 Z\xc3\xbcrich", {"\xc3\xa9t\xc3\xa9 \xc3\xa0", "Z\xc3\xbcrich"}},
  };
  for (const auto& c : cases) EXPECT_EQ(titlelines(c.text, 8), c.lines) << c.text;
}

TEST(Timeline, TitleAndMusicInTheScript) {
  struct {
    std::string text, expression;
  } strings[] = {
      {"Summer", "\"Summer\""},
      {"say \"hi\"", "\"say \" + Chr(34) + \"hi\" + Chr(34)"},
      {"\"", "Chr(34)"},
      {"a\\b\nc", "\"a\\b\\nc\""},
  };
  for (const auto& c : strings) EXPECT_EQ(avisynthstring(c.text), c.expression) << c.text;

  std::ostringstream plain, dressed;
  writescript(plain, 2, {3});
  writescript(dressed, 2, {3}, {"Caf\xc3\xa9 \"Lune\"", "/home/u/song.mp3"});
  const std::string p = plain.str(), d = dressed.str();
  EXPECT_NE(p.find("mpasource(\"c:\\path\\toyourmusic\\x.mp3\")"), std::string::npos);
  EXPECT_NE(d.find(" audio=mpasource(\"/home/u/song.mp3\")\n"), std::string::npos);
  EXPECT_EQ(d.find("Put your clip"), std::string::npos);
  EXPECT_NE(d.find("   \"Caf\xc3\xa9 \" + Chr(34) + \"Lune\" + Chr(34), \\ \n          align=5, utf8=true, lsp=10,"),
            std::string::npos)
      << d;
  // Everything else as the plain script.
  EXPECT_EQ(p.substr(0, p.find("audio=")), d.substr(0, d.find("audio=")));
  EXPECT_EQ(p.substr(p.find("\nvideo\n")), d.substr(d.find("\nvideo\n")));
}

}  // namespace
