#include "kit/journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kit/folder.h"
#include "kit/names.h"
#include "testdir.h"

namespace {

plan kitofthree() {
  plan p;
  p.scriptsize = 1816;
  p.scripthash = 0xb916bbb9f317a3d1u;
  p.steps = {{1, true, 84895, 0x8f8ccc5f9e856b54u}, {2, false, 61272, 0x5au}, {3, true, 7, 0}, {0, true, 150920, 0}};
  p.stale = {{4, 92374}, {6, 0}};
  return p;
}

plan kitofnone() {
  plan p;
  p.scriptsize = 1000;
  p.oldvideo = true;
  p.oldvideosize = 1u << 31;
  return p;
}

TEST(Journal, ReadsBackWhatItWroteAndAnyStartOfItAsCutShort) {
  for (const plan& p : {kitofthree(), kitofnone()}) {
    const std::string text = journaltext(p);
    plan back;
    std::string why;
    ASSERT_EQ(readjournal(text, &back, &why), journalread::whole) << why << "\n" << text;
    EXPECT_EQ(journaltext(back), text);
    // Killed while it was written: every start of it, and nothing moved.
    for (size_t n = 0; n < text.size(); ++n)
      EXPECT_EQ(readjournal(text.substr(0, n), &back, &why), journalread::cutshort) << text.substr(0, n);
  }
  EXPECT_EQ(journaltext(kitofthree()),
            "vantrel kit journal\n"
            "script 1816 b916bbb9f317a3d1\n"
            "frame 1 84895 8f8ccc5f9e856b54 old\n"
            "frame 2 61272 000000000000005a\n"
            "frame 3 7 0000000000000000 old\n"
            "video 150920 old\n"
            "stale 4 92374\n"
            "stale 6 0\n"
            "end\n");
}

TEST(Journal, AnythingButAWholeJournalIsUnusable) {
  const std::string head = "vantrel kit journal\nscript 10 0123456789abcdef\n";
  const struct {
    std::string text, why;
  } cases[] = {
      {"\x7f"
       "ELF\x02\x01\x01\n\n",
       "line 1: not the head of a journal"},
      {"vantrel kit commit\nframes 100000000\nvideo 1\noldvideo 1\nend\n", "line 1: not the head of a journal"},
      {head + "frame 100000000 5 0123456789abcdef\nvideo 9\nend\n", "line 3: frame 100000000 out of order"},
      {head + "frame 100000001 5 0123456789abcdef\n", "line 3: not a line of a journal"},
      {head + "frame 1 18446744073709551616 0123456789abcdef\n", "line 3: not a line of a journal"},
      {head + "frame 1 5 0123456789ABCDEF\n", "line 3: not a line of a journal"},
      {head + "frame 1 5 0123456789abcdef\nend\n", "line 4: frames and no video"},
      {head + "video 9\nend\n", "line 3: not a line of a journal"},
      {head + "frame 1 5 0123456789abcdef\nvideo 9\nstale 1 5\nend\n", "line 5: stale frame 1 out of order"},
      {head + "frame 1 5 0123456789abcdef\nvideo 9\noldvideo 9\nend\n", "line 5: not a line of a journal"},
      {"vantrel kit journal\nend\n", "line 2: no script"},
      {head + "end\nend\n", "line 3: more after its end"},
      {head + "stale 3 5\n\x01\x02", "line 4: not a line of a journal"},
  };
  for (const auto& c : cases) {
    plan p;
    std::string why;
    EXPECT_EQ(readjournal(c.text, &p, &why), journalread::unusable) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
}

TEST(Journal, NamesRunsOfFramesAsRanges) {
  const struct {
    std::vector<std::string> names;
    std::string line;
  } cases[] = {
      {{"out0001.jpg"}, "out0001.jpg"},
      {{"out0001.jpg", "out0002.jpg", "out0003.jpg", "outhuffy.avi"}, "out0001.jpg ... out0003.jpg and outhuffy.avi"},
      {{"out0001.jpg", "out0002.jpg", "out0004.jpg", "out0005.jpg", "out0006.jpg", "out0008.jpg"},
       "out0001.jpg, out0002.jpg, out0004.jpg ... out0006.jpg and out0008.jpg"},
      {{".out0001.jpg.new", ".out0002.jpg.new", ".out0003.jpg.new", ".outhuffy.avi.new", ".anim.avs.new"},
       ".out0001.jpg.new ... .out0003.jpg.new, .outhuffy.avi.new and .anim.avs.new"},
  };
  for (const auto& c : cases) EXPECT_EQ(namelist(c.names), c.line);
}

TEST(Journal, AnInterruptionWhileTheFilesAreCheckedChangesNothing) {
  tempdir dir;
  const scopedcwd cwd(dir.path());
  plan p;
  const std::string script = "the new script", frame = "the new frame";
  p.scriptsize = script.size();
  p.scripthash = contenthash(script.data(), script.size());
  p.steps = {{1, false, frame.size(), contenthash(frame.data(), frame.size())}, {0, false, 5, 0}};
  writefile(draftname, script);
  writefile("out0001.jpg", frame);
  writefile("outhuffy.avi", "video");
  std::string reason;
  ASSERT_TRUE(writejournal(p, &reason)) << reason;
  const recovery stopped = finishcommit([] { return true; });
  EXPECT_EQ(stopped.how, recovery::outcome::interrupted);
  EXPECT_TRUE(stopped.lines.empty());
  for (const char* name : {journalname, "out0001.jpg", "outhuffy.avi"})
    EXPECT_TRUE(std::filesystem::exists(name)) << name;
  // Let through, it rolls back: both files were the commit's own.
  const recovery done = finishcommit([] { return false; });
  EXPECT_EQ(done.how, recovery::outcome::rolledback);
  EXPECT_EQ(done.lines,
            (std::vector<std::string>{
                "took back out0001.jpg and outhuffy.avi, which it had put in place where there was none",
                "removed .vantrel.journal and the drafts .out0001.jpg.new, .outhuffy.avi.new and .anim.avs.new",
            }));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
