#include "video/pictures.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fixtures.h"
#include "testdir.h"

namespace {

// Whether, for each character of text (spaces aside), some installed font has it.
bool fontshave(const std::string& text) {
  FcConfig* config = FcInitLoadConfigAndFonts();
  bool all = config != nullptr;
  const auto* p = reinterpret_cast<const FcChar8*>(text.c_str());
  for (int left = static_cast<int>(text.size()); left > 0 && all;) {
    FcChar32 c = 0;
    const int n = FcUtf8ToUcs4(p, &c, left);
    if (n <= 0) break;
    p += n, left -= n;
    if (c == ' ') continue;
    FcCharSet* chars = FcCharSetCreate();
    FcPattern* pattern = FcPatternCreate();
    FcObjectSet* file = FcObjectSetBuild(FC_FILE, nullptr);
    FcCharSetAddChar(chars, c);
    FcPatternAddCharSet(pattern, FC_CHARSET, chars);
    FcFontSet* fonts = FcFontList(config, pattern, file);
    all = fonts && fonts->nfont > 0;
    if (fonts) FcFontSetDestroy(fonts);
    FcObjectSetDestroy(file);
    FcPatternDestroy(pattern);
    FcCharSetDestroy(chars);
  }
  if (config) FcConfigDestroy(config);
  return all;
}

// The pixels of a card brighter than dark grey, and the rows where two
// cards differ.
int ink(const AVFrame* card) {
  int n = 0;
  for (int y = 0; y < card->height; ++y)
    for (int x = 0; x < card->width; ++x) n += card->data[0][y * card->linesize[0] + x] > 32;
  return n;
}
int differing(const AVFrame* a, const AVFrame* b) {
  int n = 0;
  for (int y = 0; y < a->height; ++y)
    n += std::memcmp(a->data[0] + y * a->linesize[0], b->data[0] + y * b->linesize[0], a->width) != 0;
  return n;
}

frameptr card(const std::string& title) {
  std::string why;
  frameptr c = drawtitle({title}, palformat, &why);
  EXPECT_TRUE(c) << why;
  return c;
}

// Two different titles of the same shape in one script make two different
// cards, neither blank: each character drawn from a font that has it, not
// the same missing-glyph box for all. A script no installed font has is
// left out, saying so.
TEST(Pictures, TitlesInAnyScriptShowTheirOwnLetters) {
  const struct {
    const char* script;
    std::string one, other;
  } titles[] = {
      {"Japanese", "夏の思い出 2026", "冬の旅行記 2026"}, {"Chinese", "中文标题", "春节快乐"},
      {"Korean", "한국어 제목", "여름의 추억"},           {"Arabic", "ذكريات الصيف", "رحلات الشتاء"},
      {"Hebrew", "זכרונות קיץ", "טיולים בחורף"},          {"accented Latin", "Ça été déjà vu", "Él ñandú über"},
  };
  std::string missing;
  for (const auto& t : titles) {
    SCOPED_TRACE(t.script);
    if (!fontshave(t.one + t.other)) {
      missing += std::string(missing.empty() ? "" : ", ") + t.script;
      continue;
    }
    const frameptr one = card(t.one), other = card(t.other);
    ASSERT_TRUE(one && other);
    EXPECT_GT(ink(one.get()), 100) << "blank";
    EXPECT_GT(ink(other.get()), 100) << "blank";
    EXPECT_GT(differing(one.get(), other.get()), 5) << "the same card for two titles: missing glyphs";
  }
  if (!missing.empty())
    GTEST_SKIP() << "no installed font has the letters of: " << missing << " (Debian: fonts-noto-cjk)";
}

// The title is the user's text: braces and backslashes are drawn, never
// taken as the text engine's markup (which would leave only the x).
TEST(Pictures, ATitleIsTextNotMarkup) {
  const frameptr plain = card("x"), marked = card("{\\b1}x\\N{\\alpha&HFF&}");
  ASSERT_TRUE(plain && marked);
  EXPECT_GT(ink(marked.get()), 8 * ink(plain.get()));
}

// A kit frame (a JPEG, full range, BT.601) comes out in the video's levels
// and matrix: white at the range's white, pure red where the matrix puts it.
TEST(Pictures, AKitFrameDecodesToTheVideosLevels) {
  const tempdir dir;
  ASSERT_TRUE(writehalves(dir / "frame.jpg", 720, 576, {255, 255, 255}, {255, 0, 0}));
  const std::string jpeg = readfile(dir / "frame.jpg");
  frameformat hd = palformat;
  hd.matrix = AVCOL_SPC_BT709, hd.primaries = AVCOL_PRI_BT709, hd.transfer = AVCOL_TRC_BT709;
  const struct {
    const char* name;
    frameformat format;
    int red[3];  // Y, Cb, Cr of pure red
  } cases[] = {
      {"BT.601", palformat, {81, 90, 240}},
      {"BT.709", hd, {63, 102, 240}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    const frameptr f = decodeframe(jpeg, c.format, &why);
    ASSERT_TRUE(f) << why;
    EXPECT_EQ(f->format, composepixels);
    EXPECT_EQ(f->colorspace, c.format.matrix);
    const int white[3] = {235, 128, 128};
    for (int p = 0; p < 3; ++p) {
      EXPECT_NEAR(f->data[p][100 * f->linesize[p] + 360], white[p], 3) << "plane " << p;
      EXPECT_NEAR(f->data[p][476 * f->linesize[p] + 360], c.red[p], 3) << "plane " << p;
    }
  }
}

}  // namespace
