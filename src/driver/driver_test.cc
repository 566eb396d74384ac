// The tool end to end, on every platform: what a run makes of a folder.
#include "driver/driver.h"

#include <cstdio>
#include <functional>
#include <iostream>
#include <regex>

#include "driver/driver_test.h"
#include "driver/entry.h"
#include "kit/journal.h"

namespace {

TEST_F(Run, TurnsStillsIntoNumberedFramesAndAScript) {
  still("DSC0002.JPG", 300, 400, green);      // portrait
  still("DSC0001.JPG", 400, 300, red, blue);  // landscape
  still("IMG0003.JPG", 40, 30, yellow);
  writefile(dir / "notes.txt", "not a still");

  const runresult r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> listed;
  const std::vector<std::string> log = withoutlisting(r.out, &listed);
  EXPECT_EQ(log, (std::vector<std::string>{"Vantrel 0.1 alpha", "processimage:DSC0001.JPG", "ht=300", "wd=400",
                                           "processimage:DSC0002.JPG", "ht=400", "wd=300", "Counter=3",
                                           "Run finished..press any key!"}));
  // The script is created before the listing, so it is listed too.
  EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "DSC0001.JPG", "DSC0002.JPG", "IMG0003.JPG", "anim.avs",
                                              "notes.txt"}));
  EXPECT_EQ(r.out.rfind("Vantrel 0.1 alpha\nfile:", 0), 0u);

  EXPECT_TRUE(isscript(readscript(), 2));

  const picture one = frame(1), two = frame(2);
  ASSERT_EQ(one.width, 720u);
  ASSERT_EQ(one.height, 576u);
  EXPECT_TRUE(near(one.at(360, 10), red));
  EXPECT_TRUE(near(one.at(360, 565), blue));
  ASSERT_EQ(two.width, 720u);
  ASSERT_EQ(two.height, 576u);
  EXPECT_TRUE(near(two.at(360, 288), green));
  EXPECT_TRUE(near(two.at(20, 288), black));
  EXPECT_TRUE(near(two.at(700, 288), black));
  EXPECT_FALSE(fs::exists(dir / "out0003.jpg"));
}

TEST_F(Run, ChainsEverySlideButTheFirst) {
  const rgb colours[] = {red, blue, green, yellow, red};
  for (int i = 0; i < 5; ++i) still("DSC000" + std::to_string(i + 1) + ".JPG", 80, 60, colours[i]);
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(near(frame(i + 1).at(360, 288), colours[i])) << i;
  EXPECT_TRUE(isscript(readscript(), 5));
}

TEST_F(Run, AnEmptyFolderGivesTheFixedScript) {
  writefile(dir / "anim.avs", std::string(5000, 'x'));  // replaced, not appended to
  const runresult r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nCounter=1\nRun finished..press any key!\n"), std::string::npos);
  EXPECT_EQ(readscript(), script(0));
  EXPECT_EQ(r.err, "vantrel: no camera stills (names beginning \"DSC\" and containing \".JPG\") were found\n");
}

// A JPEG whose header claims width x height pixels: its frame header patched.
std::string claiming(std::string jpeg, unsigned width, unsigned height) {
  for (size_t at = 2; at + 9 < jpeg.size();
       at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 | static_cast<unsigned char>(jpeg[at + 3]))) {
    if (jpeg[at + 1] == '\xc0' || jpeg[at + 1] == '\xc2') {
      jpeg[at + 5] = static_cast<char>(height >> 8), jpeg[at + 6] = static_cast<char>(height);
      jpeg[at + 7] = static_cast<char>(width >> 8), jpeg[at + 8] = static_cast<char>(width);
      break;
    }
  }
  return jpeg;
}

// A picture the image library crashes on (a colour that is not hex).
TEST_F(Run, BadStillsAreReportedAndSkippedWithoutGaps) {
  still("DSC0001.JPG", 80, 60, red);
  still("DSC0099.JPG", 80, 60, blue);
  const std::string whole = readfile(dir / "DSC0001.JPG");
  // Each bad still, what makes it, and the reason it gets.
  const struct {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* reason;  // the start of it
  } bad[] = {
    {"DSC0002.JPG", [](const std::string& p) { writefile(p, "plain text, not a picture"); }, "not a JPEG file"},
    {"DSC0003.JPG", [](const std::string& p) { writefile(p, ""); }, "an empty file"},
    {"DSC0004.JPG", [](const std::string& p) { fs::create_directory(p); }, "Is a directory"},
    {"DSC0005.JPG", [&](const std::string& p) { writefile(p, whole.substr(0, whole.size() / 4)); }, "cut short"},
    {"DSC0006.JPG", [](const std::string& p) { makefifo(p); }, "not a regular file"},
    {"DSC0007.JPG", [](const std::string& p) { linkto("/dev/zero", p); }, "not a regular file"},
    {"DSC0008.JPG", [](const std::string& p) { linkto("nowhere", p); },
     "could not open file (No such file or directory)"},
    {"DSC0009.JPG", [&](const std::string& p) { writefile(p, claiming(whole, 30000, 40000)); },
     "too large: 30000 \u00d7 40000 pixels"},
    {"DSC0009.JPG.big", [](const std::string& p) { writefile(p, ""), fs::resize_file(p, 300 << 20); },
     "too large: a file of 300 MiB (at most 256 MiB)"},
#if !defined(__SANITIZE_ADDRESS__)
    // Its values line has one number too few: the loader copies a colour
    // name of (size_t)-1 bytes and then follows a pointer made of the
    // file's own bytes, which no machine maps. (AddressSanitizer's string
    // functions catch the copy first and report, from inside the sandbox:
    // there the preloaded crash of AStillThatCrashesItsWorker... stands in.)
    {"DSC0010.JPG.xpm", [](const std::string& p) { writefile(p, readfile(VANTREL_SOURCE "/testing/crash.xpm")); },
     "the image library crashed ("},
#endif
    {"DSC0011.JPG.png",
     [](const std::string& p) {
       writepicture(p, 200, 150, [](unsigned x, unsigned y) { return rgb{uint8_t(x * y), uint8_t(x), uint8_t(y)}; });
       writefile(p, readfile(p).substr(0, 2000));
     },
     "png library error, file read error"},
  };
  // What cannot be made here (a FIFO, a link on Windows) is left out.
  std::vector<size_t> made;
  for (size_t i = 0; i < std::size(bad); ++i) {
    bad[i].make(dir / bad[i].name);
    std::error_code none;
    if (fs::symlink_status(dir / bad[i].name, none).type() != fs::file_type::not_found)
      made.push_back(i);
    else
      std::cout << "not made here: " << bad[i].name << ", for \"" << bad[i].reason << "\"\n";
  }
  std::vector<std::string> before;
  for (const auto& e : fs::directory_iterator(dir.path())) before.push_back(e.path().filename().string());

  const auto start = std::chrono::steady_clock::now();
  const runresult r = run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // nothing blocks
  EXPECT_EQ(r.status, 2);
  const std::vector<std::string> errors = splitlines(withoutemulatornotes(r.err));
  ASSERT_EQ(errors.size(), made.size()) << r.err;
  std::vector<std::string> expected = {"Vantrel 0.1 alpha", "processimage:DSC0001.JPG", "ht=60", "wd=80"};
  for (size_t n = 0; n < made.size(); ++n) {
    const auto& b = bad[made[n]];
    const std::string prefix = std::string("vantrel: ") + b.name + ": cannot load: " + b.reason;
    EXPECT_EQ(errors[n].rfind(prefix, 0), 0u) << errors[n];
    expected.push_back(std::string("processimage:") + b.name);
  }
  EXPECT_EQ(errors.back(), "vantrel: DSC0011.JPG.png: cannot load: png library error, file read error");  // once
  for (const char* line : {"processimage:DSC0099.JPG", "ht=60", "wd=80", "Counter=3", "Run finished..press any key!"})
    expected.push_back(line);
  std::vector<std::string> listed;
  EXPECT_EQ(withoutlisting(r.out, &listed), expected);
  EXPECT_TRUE(near(frame(1).at(360, 288), red));
  EXPECT_TRUE(near(frame(2).at(360, 288), blue));
  EXPECT_TRUE(isscript(readscript(), 2));
  // Nothing else is left in the folder.
  std::vector<std::string> after;
  for (const auto& e : fs::directory_iterator(dir.path())) after.push_back(e.path().filename().string());
  before.insert(before.end(), {"anim.avs", "out0001.jpg", "out0002.jpg", "outhuffy.avi"});
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, before);
}

TEST_F(Run, APhotoOfTwentyFourMegapixelsFitsTheBudget) {
  // 72 MB of pixels: well within what a worker's image library may hold.
  still("DSC0001.JPG", 6000, 4000, green, red);
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("processimage:DSC0001.JPG\nht=4000\nwd=6000\n"), std::string::npos);
  EXPECT_TRUE(near(frame(1).at(360, 10), green));
  EXPECT_TRUE(near(frame(1).at(360, 565), red));
}

TEST_F(Run, OneWorkerAndSeveralMakeTheSameBytes) {
  if (!canrun("taskset")) GTEST_SKIP() << "needs taskset to pin the run to one CPU";
  const rgb colours[] = {red, blue, green, yellow};
  for (int i = 0; i < 8; ++i)
    still("DSC000" + std::to_string(i + 1) + ".JPG", 300 + 40 * i, 400 - 30 * i, colours[i % 4], colours[(i + 1) % 4]);
  writefile(dir / "DSC0005.JPG", "a bad still among them");
  auto kit = [&](const std::vector<std::string>& command) {
    const runresult r = runprogram(command, dir.path());
    EXPECT_EQ(r.status, 2) << r.err;
    std::vector<std::string> listed, made = withoutlisting(r.out, &listed);
    made.push_back(r.err);
    for (int n = 1; n <= 8; ++n) made.push_back(readfile(dir / slidename(n)));
    return made;
  };
  const std::vector<std::string> several = kit({VANTREL_BINARY});
  const std::vector<std::string> one = kit({"taskset", "-c", "0", VANTREL_BINARY});
  EXPECT_EQ(one, several);
  EXPECT_EQ(several[several.size() - 8].rfind("\xff\xd8", 0), 0u);  // frames, not empty files
  EXPECT_EQ(several.back(), "");                                    // one still failed: seven frames
}

TEST_F(Run, TurnedStillsComeOutUpright) {
  still("DSC0001.JPG", 400, 300, red, blue);
  const std::string jpeg = readfile(dir / "DSC0001.JPG");
  writefile(dir / "DSC0002.JPG", withorientation(jpeg, 6));  // turned a quarter clockwise: red on the right
  writefile(dir / "DSC0003.JPG", withorientation(jpeg, 1));
  writefile(dir / "DSC0004.JPG", withorientation(jpeg, 9));  // no such orientation
  std::string broken = withorientation(jpeg, 6);
  broken[12] = 'X';
  writefile(dir / "DSC0005.JPG", broken);
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  // Sizes and geometry are those of the upright picture: 300 x 400, 480 wide.
  EXPECT_NE(r.out.find("processimage:DSC0002.JPG\nht=400\nwd=300\n"), std::string::npos);
  const picture turned = frame(2);
  EXPECT_TRUE(near(turned.at(100, 288), black));
  EXPECT_TRUE(near(turned.at(130, 288), blue));
  EXPECT_TRUE(near(turned.at(590, 288), red));
  EXPECT_TRUE(near(turned.at(620, 288), black));
  // Untagged, tagged 1, an unknown value or a broken block: used as stored.
  const std::string asstored = readfile(dir / "out0001.jpg");
  for (int n : {3, 4, 5}) EXPECT_EQ(readfile(dir / slidename(n)), asstored) << n;
}

// Slide o of a run on orientationstills (log, its standard output): its
// still logged at the upright photo's size, and its frame f the same scene
// as upright but for the number each photo carries in its middle (fewer
// than one sample in a hundred differs).
void expectupright(const std::string& log, int o, const picture& f, const picture& upright) {
  EXPECT_NE(log.find("processimage:DSC000" + std::to_string(o) + ".JPG\nht=450\nwd=600\n"), std::string::npos) << o;
  ASSERT_EQ(f.width, 720u) << o;
  long differ = 0, total = 0;
  for (unsigned y = 0; y < 576; y += 4)
    for (unsigned x = 0; x < 720; x += 4) {
      if (x > 280 && x < 440 && y > 200 && y < 380) continue;  // the photo's number
      ++total;
      differ += !near(f.at(x, y), upright.at(x, y), 40);
    }
  EXPECT_LT(differ * 100, total) << "orientation " << o << ": " << differ << " of " << total << " samples differ";
}

TEST_F(Run, EveryOrientationOfACameraPhotoGivesOneUprightFrame) {
  const fs::path corpus = fs::path(VANTREL_CORPUS) / "orientation";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no orientation stills at " << corpus << " in this checkout";
  ASSERT_NO_FATAL_FAILURE(orientationstills(corpus));
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  const picture upright = frame(1);
  for (int o = 2; o <= 8; ++o) ASSERT_NO_FATAL_FAILURE(expectupright(r.out, o, frame(o), upright));
}

TEST_F(Run, AFrameNameTakenByAFolderStopsTheRun) {
  still("DSC0001.JPG", 80, 60, red);
  fs::create_directory(dir / "out0001.jpg");
  writefile(dir / "out0001.jpg/mine.txt", "keep me");
  const runresult r = run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "vantrel: out0001.jpg: cannot save: is a folder; the run stops, and the kit in the folder is as it was\n");
  EXPECT_EQ(readfile(dir / "out0001.jpg/mine.txt"), "keep me");
  EXPECT_NE(r.out.find("\nCounter=1\nRun finished..press any key!\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "anim.avs"));
  EXPECT_FALSE(fs::exists(dir / ".anim.avs.new"));
}

TEST_F(Run, TheScriptIsReplacedWholeAndNeverThroughALink) {
  still("DSC0001.JPG", 80, 60, red);
  tempdir elsewhere;
  writefile(elsewhere / "bashrc", "the user's own file");
  const struct {
    const char* what;
    std::function<void()> make;
    std::string err;
  } cases[] = {
      {"a link to a file of the user's", [&] { linkto(elsewhere / "bashrc", dir / "anim.avs"); }, ""},
      {"a link to nowhere", [&] { linkto(elsewhere / "nothing", dir / "anim.avs"); }, ""},
      {"a FIFO, which nobody reads", [&] { makefifo(dir / "anim.avs"); }, ""},
      {"a draft a killed run left", [&] { writefile(dir / ".anim.avs.new", "half a script"); }, ""},
  };
  for (const auto& c : cases) {
    fs::remove(dir / "anim.avs");
    c.make();
    std::error_code none;
    if (fs::symlink_status(dir / "anim.avs", none).type() == fs::file_type::not_found &&
        !fs::exists(dir / ".anim.avs.new")) {
      std::cout << "not made here: " << c.what << "\n";
      continue;
    }
    const runresult r = run();
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_FALSE(fs::is_symlink(dir / "anim.avs")) << c.what;
    EXPECT_EQ(readscript(), script(1)) << c.what;
    EXPECT_FALSE(fs::exists(dir / ".anim.avs.new")) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
  EXPECT_EQ(readfile(elsewhere / "bashrc"), "the user's own file");
  EXPECT_FALSE(fs::exists(elsewhere / "nothing"));

  // A folder in its place is left as it is, and so is the rest of the kit.
  fs::remove(dir / "anim.avs");
  fs::create_directory(dir / "anim.avs");
  writefile(dir / "out0001.jpg", "a frame of an earlier run");
  const runresult r = run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "vantrel: anim.avs: cannot create: is a folder; the run stops, and the kit in the folder is as it was\n");
  EXPECT_TRUE(fs::is_directory(dir / "anim.avs"));
  EXPECT_EQ(readfile(dir / "out0001.jpg"), "a frame of an earlier run");
  EXPECT_FALSE(fs::exists(dir / ".anim.avs.new"));
}

TEST_F(Run, FramesOfAnEarlierRunDoNotOutliveIt) {
  for (int i = 1; i <= 6; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, red);
  ASSERT_EQ(run().status, 0);
  writefile(dir / "out0009.jpg", "not in the series: kept");
  writefile(dir / "out0007.jpg.bak", "not a frame's name: kept");
  fs::remove(dir / "DSC0005.JPG");
  fs::remove(dir / "DSC0006.JPG");
  // What a run of all six, killed before its commit, left: this rerun, with
  // fewer stills, writes no draft over frames 5 and 6, so only its listing
  // clears them away, unlisted and unremarked.
  const std::string left[] = {draftframename(5), draftframename(6), draftvideoname};
  for (const std::string& name : left) writefile(dir / name, "left by a killed run");
  runresult r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "vantrel: removed out0005.jpg and out0006.jpg, frames of an earlier run\n");
  for (const std::string& name : left) EXPECT_FALSE(fs::exists(dir / name)) << name;
  EXPECT_EQ(r.out.find("file:.out"), std::string::npos) << r.out;
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(fs::exists(dir / slidename(n))) << n;
  EXPECT_FALSE(fs::exists(dir / "out0005.jpg"));
  EXPECT_FALSE(fs::exists(dir / "out0006.jpg"));
  EXPECT_EQ(readfile(dir / "out0009.jpg"), "not in the series: kept");
  EXPECT_EQ(readfile(dir / "out0007.jpg.bak"), "not a frame's name: kept");

  // A frame's name that is not a file ends the series there.
  for (int i = 5; i <= 7; ++i) writefile(dir / slidename(i), "old");
  fs::create_directory(dir / "out0006.jpg.d");
  fs::remove(dir / "out0006.jpg");
  fs::create_directory(dir / "out0006.jpg");
  r = run();
  EXPECT_EQ(r.err, "vantrel: removed out0005.jpg, a frame of an earlier run\n");
  EXPECT_TRUE(fs::is_directory(dir / "out0006.jpg"));
  EXPECT_TRUE(fs::exists(dir / "out0007.jpg"));
}

TEST_F(Run, NamesAreShownSafelyOnStandardError) {
  // Names a downloaded folder may hold, and how standard error shows them:
  // a line of its own, a terminal's title, bytes that are not UTF-8, a
  // right-to-left override; names outside any one code page stand as they are.
  const std::string forged = "DSC1.JPG\nvantrel: DSC2.JPG: cannot load: forged", title = "DSC3\x1b]0;owned\x07.JPG",
                    fine = "DSC5-\xce\xa9mega-\xe6\x97\xa5\xe6\x9c\xac.JPG";
  const std::pair<std::string, std::string> names[] = {
      {forged, "DSC1.JPG\\nvantrel: DSC2.JPG: cannot load: forged"},
      {title, "DSC3\\033]0;owned\\007.JPG"},
      {"DSC4\xe9t\xe9.JPG", "DSC4\\xe9t\\xe9.JPG"},
      {fine, fine},
      {"DSC6\xe2\x80\xaegpj.JPG", "DSC6\\xe2\\x80\\xaegpj.JPG"},
  };
  // (A file system that takes no such name, as Windows takes no control
  // characters, leaves its row out.)
  std::vector<std::string> madehere, expected;
  for (const auto& [name, shown] : names) {
    const tempdir probe;
    writefile(probe / name, "");
    const fs::directory_iterator made(probe.path());
    if (made == fs::directory_iterator() || made->path().filename().string() != name) {
      std::cout << "not made here: a file named " << shown << "\n";
      continue;
    }
    writefile(dir / name, "not a picture");
    madehere.push_back(name);
    expected.push_back("vantrel: " + shown + ": cannot load: ");
  }
  // (Not one became a slide: there is no kit to replace the old one.)
  expected.push_back("vantrel: none of the " + std::to_string(madehere.size()) + " stills became a slide;");
  const runresult r = run();
  EXPECT_EQ(r.status, 2);
  const std::vector<std::string> lines = splitlines(r.err);
  ASSERT_EQ(lines.size(), expected.size()) << r.err;
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];
  // A log that is not a terminal gets the names as they are.
  for (const std::string& name : madehere) {
    EXPECT_NE(r.out.find("\nfile:" + name + "\n"), std::string::npos) << name;
    EXPECT_NE(r.out.find("\nprocessimage:" + name + "\n"), std::string::npos) << name;
  }
}

TEST_F(Run, StillsOfWhichNoneBecomesASlideLeaveTheOldKit) {
  for (int i = 1; i <= 3; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, red);
  ASSERT_EQ(run().status, 0);
  for (const int bad : {1, 3}) {
    for (int i = 1; i <= 3; ++i) fs::remove(dir / ("DSC000" + std::to_string(i) + ".JPG"));
    for (int i = 1; i <= bad; ++i) writefile(dir / ("DSC000" + std::to_string(i) + ".JPG"), "not a picture");
    const folderfiles before = contents();
    const runresult r = run();
    EXPECT_EQ(r.status, 2) << bad;
    const std::vector<std::string> errors = splitlines(r.err);
    ASSERT_EQ(errors.size(), static_cast<size_t>(bad) + 1) << r.err;
    EXPECT_EQ(errors.back(), bad == 1
                                 ? "vantrel: the still did not become a slide; the kit in the folder is as it was"
                                 : "vantrel: none of the 3 stills became a slide; the kit in the folder is as it was");
    EXPECT_NE(r.out.find("\nCounter=1\nRun finished..press any key!\n"), std::string::npos) << r.out;
    EXPECT_EQ(differences(before, contents()), "") << bad;
  }
}

TEST_F(Run, AJournalTheFolderDoesNotBearOutIsSetAsideAndTheKitLeftAsItIs) {
  for (int i = 1; i <= 5; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80 + 8 * i, 60, red, blue);
  ASSERT_EQ(run().status, 0);
  // From here on the one still fails: a run commits nothing once it has
  // dealt with the journal, and the folder shows what that did.
  for (int i = 2; i <= 5; ++i) fs::remove(dir / ("DSC000" + std::to_string(i) + ".JPG"));
  writefile(dir / "DSC0001.JPG", "not a picture");
  const folderfiles kit = contents();
  // Journals made up as a run writes them, of the kit's files or others.
  auto file = [&](int slide) {
    const std::string bytes = readfile(dir / (slide > 0 ? slidename(slide) : videoname));
    return plan::step{slide, false, bytes.size(), slide > 0 ? contenthash(bytes.data(), bytes.size()) : 0};
  };
  auto journal = [&](const std::string& script, int frames, std::function<void(plan&)> change) {
    plan p;
    p.scriptsize = script.size();
    p.scripthash = contenthash(script.data(), script.size());
    for (int k = 1; k <= frames; ++k) p.steps.push_back(file(k));
    p.steps.push_back(file(0));
    if (change) change(p);
    return journaltext(p);
  };
  const std::string script = readfile(dir / scriptname), stray = "a script of nobody's";
  auto strayscript = [&] { writefile(dir / draftname, stray); };
  const std::string forward = journal(script, 3, [&](plan& p) { p.stale = {{4, file(4).size}, {5, file(5).size}}; });
  const struct {
    const char* what;
    std::string text;  // the journal's
    std::function<void()> plant;
    std::string why;  // empty: not set aside
  } cases[] = {
      {"garbage",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\n",
                   9),
       nullptr, "line 1: not the head of a journal"},
      {"an older form, of 100000000 frames", "vantrel kit commit\nframes 100000000\nvideo 1\noldvideo 1\nend\n",
       nullptr, "line 1: not the head of a journal"},
      {"a frame numbered 100000000",
       journal(script, 0,
               [](plan& p) {
                 p.steps = {{100000000, false, 5, 0}, {0, false, 9, 0}};
               }),
       nullptr, "line 3: frame 100000000 out of order"},
      {"a journal beside a stray .anim.avs.new", journal("the script it names", 5, nullptr), strayscript,
       ".anim.avs.new is not the script the commit made"},
      {"a stray .anim.avs.new that is the script it names", journal(stray, 5, [](plan& p) { p.steps[0].hash ^= 1; }),
       strayscript, "out0001.jpg is not the file the commit made"},
      {"moved-aside files gone", journal(stray, 5, [](plan& p) { p.steps[1].old = true; }), strayscript,
       ".out0002.jpg.old, the old out0002.jpg moved aside, is not there"},
      {"a stale line naming a frame that is not the one found",
       journal(script, 3,
               [&](plan& p) {
                 p.stale = {{4, file(4).size}, {5, file(5).size + 1}};
               }),
       nullptr, "out0005.jpg is not the file the commit found there"},
      {"a stale line naming a new frame", forward.substr(0, forward.find("stale 4")) + "stale 3 1\nend\n", nullptr,
       "line 7: stale frame 3 out of order"},
      {"a new frame not there, nor its draft", journal(script, 5, [](plan& p) { p.steps[4].size += 1; }), nullptr,
       "out0005.jpg is not the file the commit made"},
      {"a journal larger than any", std::string(17 << 20, 'x'), nullptr, "larger than any journal (17 MiB)"},
      {"a journal cut short in its writing", forward.substr(0, forward.size() / 2), nullptr, ""},
      {"a folder", "", [&] { fs::create_directory(dir / journalname); }, "not a regular file"},  // last: it stays
  };
  for (const auto& c : cases) {
    if (c.plant) c.plant();
    if (!fs::exists(dir / journalname)) writefile(dir / journalname, c.text);
    const runresult r = run();
    EXPECT_EQ(r.status, 2) << c.what;
    const std::vector<std::string> errors = splitlines(r.err);
    ASSERT_GE(errors.size(), 2u) << c.what;
    folderfiles now = contents();
    if (c.why.empty()) {
      EXPECT_EQ(errors[0],
                "vantrel: an earlier run was cut short in its commit: rolled back, the kit is as it was "
                "before it")
          << c.what;
      EXPECT_EQ(errors[1], "vantrel: removed .vantrel.journal, which it had not finished writing") << c.what;
    } else {
      EXPECT_EQ(errors[0], "vantrel: .vantrel.journal: cannot be used: " + c.why +
                               "; set aside as .vantrel.journal.bad, and the kit is left as it is")
          << c.what;
      // Set aside, in the place of the one set aside before.
      EXPECT_EQ(now[badjournalname], c.text.empty() ? "(not a file)" : c.text) << c.what;
    }
    now.erase(badjournalname);
    EXPECT_EQ(differences(kit, now), "") << c.what;
  }
}

TEST_F(Run, AFailureOfTheRunItselfLeavesTheOldKitAsItWas) {
  // Noise makes a frame far larger than flat colour does.
  auto noisy = [&](const std::string& name) {
    ASSERT_TRUE(writepicture(dir / name, 160, 120, [](unsigned x, unsigned y) {
      const unsigned v = (x * 2654435761u) ^ (y * 40503u);
      return rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
    }));
  };
  std::string whynot;
  const std::vector<std::string> nobody = asnobody(&whynot);
  const std::string draft = ".anim.avs.new";
  const struct {
    const char* what;
    std::vector<std::string> command;  // before vantrel's
    std::function<void()> make, unmake;
    std::string err;  // what the run says, before "; the run stops ..."
  } cases[] = {
      {"a file size limit that a frame passes",
       {"prlimit", "--fsize=100000"},
       [] {},
       [] {},
       "out0003.jpg: cannot save: File too large"},
      {"a folder under a frame's name",
       {},
       [&] {
         fs::remove(dir / "out0003.jpg");
         fs::create_directory(dir / "out0003.jpg");
       },
       [&] { fs::remove(dir / "out0003.jpg"); },
       "out0003.jpg: cannot save: is a folder"},
      {"a folder under the draft's name",
       {},
       [&] { fs::create_directory(dir / draft); },
       [&] { fs::remove(dir / draft); },
       "anim.avs: cannot create: its draft .anim.avs.new is a folder"},
      {"a folder nobody may write", nobody, [&] { chmod(dir.path().c_str(), 0555); },
       [&] { chmod(dir.path().c_str(), 0755); }, "anim.avs: cannot create: Permission denied"},
  };
  for (const auto& c : cases) {
    if (c.command == nobody && nobody.empty()) {
      std::cout << "skipped " << c.what << ": " << whynot << "\n";
      continue;
    }
    if (!c.command.empty() && !canrun(c.command[0])) {
      std::cout << "skipped " << c.what << ": cannot run " << c.command[0] << " here\n";
      continue;
    }
    // The kit of an earlier run, of more slides than the new one.
    for (const auto& e : fs::directory_iterator(dir.path())) fs::remove_all(e.path());
    for (int i = 1; i <= 6; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, red);
    ASSERT_EQ(run().status, 0) << c.what;
    for (int i = 4; i <= 6; ++i) fs::remove(dir / ("DSC000" + std::to_string(i) + ".JPG"));
    still("DSC0001.JPG", 80, 60, blue);
    noisy("DSC0003.JPG");
    c.make();
    const std::map<std::string, std::string> before = contents();
    std::vector<std::string> command = c.command;
    command.push_back(VANTREL_BINARY);
    const runresult r = runprogram(command, dir.path());
    EXPECT_EQ(r.status, 2) << c.what;
    EXPECT_EQ(r.err, "vantrel: " + c.err + "; the run stops, and the kit in the folder is as it was\n") << c.what;
    EXPECT_EQ(differences(before, contents()), "") << c.what;
    c.unmake();
  }

  // Out of descriptors at any point: the whole new kit, or the old one.
#if defined(__SANITIZE_ADDRESS__) || defined(VANTREL_TEST_EMULATED)
  // The sanitizers' checks need descriptors of their own: without any,
  // UndefinedBehaviorSanitizer takes every object for one of a wrong type;
  // and an emulator's limit would be the emulator's.
  std::cout << "not checked here: a run out of descriptors (the sanitizers need some, an emulator's are its "
               "own); a native build without them checks it\n";
  return;
#endif
  for (int limit = 4; limit <= 12; ++limit) {
    for (const auto& e : fs::directory_iterator(dir.path())) fs::remove_all(e.path());
    for (int i = 1; i <= 5; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, red);
    ASSERT_EQ(run().status, 0);
    const std::map<std::string, std::string> before = contents();
    for (int i = 1; i <= 3; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, green);
    const std::map<std::string, std::string> stills = contents();
    const runresult r = runprogram({"prlimit", "--nofile=" + std::to_string(limit), VANTREL_BINARY}, dir.path());
    if (r.status == 0) {
      EXPECT_TRUE(near(frame(3).at(360, 288), green)) << limit;
      for (const auto& [name, bytes] : contents()) EXPECT_NE(name[0], '.') << limit << ": " << name;
      continue;
    }
    // (Too few for the program's own libraries to load, it never starts.)
    if (r.status != 127 || r.err.find("error while loading shared libraries") == std::string::npos) {
      EXPECT_EQ(r.status, 2) << limit << ": " << r.err;
      EXPECT_NE(r.err.find("Too many open files; the run stops, and the kit in the folder is as it was\n"),
                std::string::npos)
          << limit << ": " << r.err;
    }
    EXPECT_EQ(differences(stills, contents()), "") << limit;
  }
}

TEST_F(Run, OutOfMemoryAnywhereLeavesTheOldKit) {
#if defined(__SANITIZE_ADDRESS__) || defined(VANTREL_TEST_EMULATED)
  GTEST_SKIP() << "needs a build that runs within an address-space limit (not the sanitizers', not an emulator's)";
#endif
  for (int i = 1; i <= 3; ++i) still("DSC000" + std::to_string(i) + ".JPG", 1600, 1200, red);
  auto limited = [&](long kib) {
    return runprogram({"prlimit", "--as=" + std::to_string(kib << 10), VANTREL_BINARY}, dir.path());
  };
  // The least address space in which the program starts at all, halved out
  // (the media library and what it links take a few hundred MiB of it).
  long low = 1 << 10, high = 1 << 20;
  while (high - low > 16) {
    const long mid = (low + high) / 2;
    (limited(mid).out.empty() ? low : high) = mid;
  }
  // From there, through the driver's start to its workers' (where each
  // still reads "out of memory" instead): never a crash, and where the
  // driver runs out, the old kit as it was.
  int driver = 0;
  for (long kib = low - 64; kib <= low + (2 << 10); kib += 16) {
    ASSERT_EQ(run().status, 0);
    const folderfiles before = contents();
    const runresult r = limited(kib);
    // (Too little for the program's libraries to load or set themselves up,
    // it ends before any of its own code runs: no banner, no line of its own.)
    const bool neverstarted = r.out.empty() && r.err.find("vantrel:") == std::string::npos;
    ASSERT_TRUE(r.status == 0 || r.status == 2 || neverstarted) << kib << " KiB: " << r.err;
    if (r.status != 2 || r.err.find("vantrel: out of memory\n") == std::string::npos) continue;
    ++driver;
    EXPECT_EQ(r.err, "vantrel: out of memory\n") << kib << " KiB";
    EXPECT_EQ(differences(before, contents()), "") << kib << " KiB";
  }
  EXPECT_GT(driver, 0) << "the driver never ran out of memory";
  ASSERT_EQ(run().status, 0);  // and the next run tidies up
  for (const auto& [name, bytes] : contents()) EXPECT_NE(name[0], '.') << name << " left behind";
}

TEST_F(Run, EveryOrientationOfACameraPhotoFittedAndAStillOfEachShape) {
  // --fit: the log and the script as without it, each picture whole in its
  // true shape. The corpus photo is 4:3 upright: it fills the frame.
  const fs::path corpus = fs::path(VANTREL_CORPUS) / "orientation";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no orientation stills at " << corpus << " in this checkout";
  ASSERT_NO_FATAL_FAILURE(orientationstills(corpus));
  still("DSC0009.JPG", 1920, 1080, red, blue);
  const runresult r = runprogram({VANTREL_BINARY, "--fit"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(isscript(readscript(), 9));
  EXPECT_NE(r.out.find("processimage:DSC0009.JPG\nht=1080\nwd=1920\n"), std::string::npos);
  const picture upright = frame(1);
  for (int o = 1; o <= 8; ++o) ASSERT_NO_FATAL_FAILURE(expectupright(r.out, o, frame(o), upright));
  EXPECT_FALSE(near(upright.at(2, 2), black, 30));  // no bars on a 4:3 photo
  // 16:9: 720 x 432, 72 rows of black above and below.
  const picture wide = frame(9);
  EXPECT_TRUE(near(wide.at(360, 68), black, 8));
  EXPECT_TRUE(near(wide.at(360, 78), red));
  EXPECT_TRUE(near(wide.at(360, 498), blue));
  EXPECT_TRUE(near(wide.at(360, 508), black, 8));
}

TEST_F(Run, TheCommandLine) {
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "anim.avs", "an earlier script");
  writefile(dir / "notes.txt", "a file");
  const std::string usage =
      "usage: vantrel [--help] [--version] [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] "
      "[--title TEXT]] [FOLDER]\n";
#if defined(VANTREL_VIDEO)
  const std::string videorefusal = "a video is .mp4, .mkv (H.264) or .mpg (MPEG-2 for a DVD)";
  const std::string dvdrefusal = "--size 1080p: a .mpg is a PAL DVD's video, always pal";
#else
  const std::string dvdrefusal =
      "--video show.mpg: this build cannot render video; the script anim.avs, run by "
      "AviSynth, is the road to one";
  const std::string videorefusal =
      "this build cannot render video; the script anim.avs, run by AviSynth, is the road to one";
#endif
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of it
    std::string err;
  } cases[] = {
      {{"--help"},
       0,
       "usage: vantrel [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] [--title TEXT]] [FOLDER]\n",
       ""},
      {{"-h"},
       0,
       "usage: vantrel [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] [--title TEXT]] [FOLDER]\n",
       ""},
      {{"--video"}, 1, "", "vantrel: option '--video' needs a value\n" + usage},
      {{"--music=", "."}, 1, "", "vantrel: option '--music': an empty file name\n" + usage},
      {{"--title", "t", "--video", "show.gif"}, 1, "", "vantrel: --video show.gif: " + videorefusal + "\n" + usage},
      {{"--video", "show.mpg", "--size", "1080p"}, 1, "", "vantrel: " + dvdrefusal + "\n" + usage},
      {{"--size", "720p"}, 1, "", "vantrel: --size 720p: a size is a video's (--video FILE)\n" + usage},
      {{"--version"}, 0, "vantrel 0.1 alpha\n", ""},
      {{"--frames"}, 1, "", "vantrel: unknown option '--frames'\n" + usage},
      {{"-x", "--help"}, 1, "", "vantrel: unknown option '-x'\n" + usage},
      {{".", ".."}, 1, "", "vantrel: one folder at most, not 2\n" + usage},
      {{"notes.txt"}, 1, "", "vantrel: notes.txt: not a folder\n" + usage},
      {{"holiday"}, 1, "", "vantrel: holiday: No such file or directory\n" + usage},
      // A name is shown escaped once, like every name on standard error.
      {{"holi\\day\n"}, 1, "", "vantrel: holi\\\\day\\n: No such file or directory\n" + usage},
  };
  for (const auto& c : cases) {
    std::vector<std::string> command = {VANTREL_BINARY};
    command.insert(command.end(), c.args.begin(), c.args.end());
    const runresult r = runprogram(command, dir.path());
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << c.args[0] << ": " << r.out;
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
  // None of them touched the folder.
  EXPECT_EQ(readfile(dir / "anim.avs"), "an earlier script");
  EXPECT_FALSE(fs::exists(dir / "out0001.jpg"));

  // A folder named on the line is the one worked in, wherever the run
  // starts, also with a separator at its end (as a shell completes it) and
  // a name outside any one code page.
  tempdir elsewhere;
  const std::string named = dir / "Ωmega 日本";
  fs::create_directory(fs::u8path(named));
  ASSERT_TRUE(writehalves(named + "/DSC0001.JPG", 80, 60, green, green));
  for (const std::string& folder : {dir.path(), named + std::string(1, fs::path::preferred_separator)}) {
    const runresult r = runprogram({VANTREL_BINARY, "--", folder}, elsewhere.path());
    EXPECT_EQ(r.status, 0) << folder << ": " << r.err;
    EXPECT_TRUE(near(readpicture((fs::u8path(folder) / "out0001.jpg").u8string()).at(360, 288),
                     folder == dir.path() ? red : green))
        << folder;
  }
  EXPECT_EQ(readscript(), script(1));
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST_F(Run, AVideoOrMusicThatCannotBeUsedIsRefusedBeforeAnythingIsMade) {
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "anim.avs", "an earlier script");
  writefile(dir / "notes.txt", "a file");
  writefile(dir / "song.mp3", "music");
  fs::create_directory(dir / "sub");
  fs::create_directory(dir / "made.mp4");
  const std::string still =
      ": a later run would take it for a camera still (its name begins with DSC and contains .JPG)";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--video", "nowhere/show.mp4"}, "--video nowhere/show.mp4: its folder nowhere: No such file or directory"},
      {{"--video", "notes.txt/show.mp4"}, "--video notes.txt/show.mp4: its folder notes.txt: Not a directory"},
      {{"--video", "made.mp4"}, "--video made.mp4: Is a directory"},
      {{"--video", "DSC00009.JPG.mp4"}, "--video DSC00009.JPG.mp4" + still},
      {{"--video", "sub/DSC1.JPG.mkv", "."}, "--video sub/DSC1.JPG.mkv" + still},
      {{"--video", "show.mp4", "--music", "sub/song.mp3"}, "--music sub/song.mp3: No such file or directory"},
      {{"--music", "nothere.mp3"}, "--music nothere.mp3: No such file or directory"},
      {{"--music", "sub"}, "--music sub: Is a directory"},
  };
  for (const auto& c : cases) EXPECT_TRUE(refuses(c.args, c.err)) << c.args[1];
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
  // The same files, usable, make the kit.
  const runresult r = runprogram({VANTREL_BINARY, "--music", "song.mp3"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(near(frame(1).at(360, 288), red));
}

TEST_F(Run, AnOpenPipeForStandardInputIsNotWaitedOn) {
  // Only a terminal has a key to press (the wait there is tested above).
  still("DSC0001.JPG", 80, 60, red);
  tempdir capture;
  int input = -1;
  const int pid = startprogram({VANTREL_BINARY}, dir.path(), capture / "out", capture / "err", &input);
  EXPECT_EQ(finishprogram(pid, std::chrono::seconds(30)).status, 0);  // the pipe is still open, and empty
  close(input);
  EXPECT_NE(readfile(capture / "out").find("press any key!"), std::string::npos);
  EXPECT_EQ(readscript(), script(1));
}

TEST_F(Run, CameraStillsFromTheCorpus) {
  const fs::path corpus = VANTREL_CORPUS;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no camera stills at " << corpus << " in this checkout";
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(corpus))
    if (entry.path().extension() == ".jpg") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  // Linked, not copied: the stills are read where they are.
  std::vector<std::string> names;
  for (size_t i = 0; i < files.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "DSC%04zu.JPG", i + 1);
    names.push_back(name);
    ASSERT_TRUE(linkorcopy(files[i].string(), dir / name));
  }
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nCounter=" + std::to_string(files.size() + 1) + "\n"), std::string::npos);
  EXPECT_TRUE(isscript(readscript(), static_cast<int>(files.size())));

  // The corpus names carry the pixel size: name_WxH.jpg.
  const std::regex sized(R"(_(\d+)x(\d+)\.jpg$)");
  for (size_t i = 0; i < files.size(); ++i) {
    std::smatch m;
    const std::string file = files[i].filename().string();
    ASSERT_TRUE(std::regex_search(file, m, sized)) << file;
    const unsigned w = static_cast<unsigned>(std::stoul(m[1])), h = static_cast<unsigned>(std::stoul(m[2]));
    EXPECT_NE(r.out.find("processimage:" + names[i] + "\nht=" + std::to_string(h) + "\nwd=" + std::to_string(w) + "\n"),
              std::string::npos)
        << file;
    const picture f = frame(static_cast<int>(i + 1));
    ASSERT_EQ(f.width, 720u) << file;
    ASSERT_EQ(f.height, 576u) << file;
    if (h > w) {
      EXPECT_TRUE(near(f.at(2, 288), black, 8)) << file;
      EXPECT_TRUE(near(f.at(717, 288), black, 8)) << file;
    }
  }
}

}  // namespace
