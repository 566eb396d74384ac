#include "driver/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "driver/kit.h"
#include "fixtures.h"
#include "script/script.h"
#include "slide/slide.h"
#include "testprocess.h"

namespace fs = std::filesystem;

namespace {

TEST(StillFilter, WantsDSCAtTheStartAndJPGAnywhere) {
  for (const char* name : {"DSC0001.JPG", "DSC0001.JPG.bak", "DSC.JPG", "DSC_1.JPGX", "DSCa.JPG"})
    EXPECT_TRUE(isstill(name)) << name;
  for (const char* name : {"DSC_readme.txt", "dsc0001.jpg", "DSC0001.jpg", "IMG0003.JPG", "xDSC0001.JPG",
                           "DS", "", ".", "..", "DSC0001.JP", "DSC0001.Jpg"})
    EXPECT_FALSE(isstill(name)) << name;
}

TEST(StillList, LogsEveryEntryAndSortsStillsBytewise) {
  tempdir dir;
  const std::vector<std::string> names = {"DSCa.JPG",  "DSC0002.JPG", "notes.txt",       "DSC_1.JPG",
                                          "DSC9.JPG",  "DSCZ.JPG",    "DSC0001.JPG.bak", "DSC_readme.txt",
                                          "IMG0003.JPG", "dsc0004.jpg", "DSC0001.JPG"};
  for (const std::string& n : names) writefile(dir / n, "");
  mkdir((dir / "DSC0005.JPG").c_str(), 0755);  // the filter looks at names only

  folderlisting folder(dir.path());
  ASSERT_TRUE(folder.ok()) << folder.error();
  std::ostringstream log;
  std::string readerror;
  const std::vector<std::string> stills = liststills(folder, log, &readerror);

  EXPECT_EQ(readerror, "");
  EXPECT_EQ(stills, (std::vector<std::string>{"DSC0001.JPG", "DSC0001.JPG.bak", "DSC0002.JPG",
                                               "DSC0005.JPG", "DSC9.JPG", "DSCZ.JPG", "DSC_1.JPG",
                                               "DSCa.JPG"}));
  std::vector<std::string> logged = splitlines(log.str());
  std::vector<std::string> expected = {"file:.", "file:..", "file:DSC0005.JPG"};
  for (const std::string& n : names) expected.push_back("file:" + n);
  std::sort(logged.begin(), logged.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(logged, expected);
}

const rgb red{220, 30, 30}, blue{30, 40, 210}, green{40, 200, 60}, yellow{230, 220, 40}, black{0, 0, 0};

// The built tool, run as a user runs it, in folders made for each test.
class Run : public ::testing::Test {
 protected:
  runresult run() { return runprogram({VANTREL_BINARY}, dir.path()); }

  // A still of one colour, or two halves.
  void still(const std::string& name, unsigned w, unsigned h, rgb top, rgb bottom) {
    ASSERT_TRUE(writehalves(dir / name, w, h, top, bottom));
  }
  void still(const std::string& name, unsigned w, unsigned h, rgb colour) { still(name, w, h, colour, colour); }

  picture frame(int number) { return readpicture(dir / slidename(number)); }

  // 81 camera-sized stills (one picture, linked), for a run that takes a
  // while; and the wait, of at most 30 s, until it has made frame n (which
  // is in place only once the run puts its kit there).
  void manystills() {
    still("DSC0000.JPG", 1600, 1200, red, blue);
    for (int i = 1; i <= 80; ++i)
      fs::create_symlink(dir / "DSC0000.JPG", dir / ("DSC" + std::to_string(1000 + i) + ".JPG"));
  }
  void waitforframe(int n) {
    const auto start = std::chrono::steady_clock::now();
    while (!fs::exists(dir / draftframename(n)) && !fs::exists(dir / slidename(n)) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // Every file in the folder, by name, with its bytes.
  using folderfiles = std::map<std::string, std::string>;
  folderfiles contents() const {
    folderfiles files;
    for (const auto& e : fs::directory_iterator(dir.path()))
      files[e.path().filename().string()] = e.is_regular_file() ? readfile(e.path().string()) : "(not a file)";
    return files;
  }
  // The names that differ between two such, for a failure's message.
  static std::string differences(const folderfiles& a, const folderfiles& b) {
    std::string names;
    for (const auto& [name, bytes] : a)
      if (!b.count(name) || b.at(name) != bytes) names += " " + name + (b.count(name) ? " (changed)" : " (gone)");
    for (const auto& [name, bytes] : b)
      if (!a.count(name)) names += " " + name + " (new)";
    return names;
  }

  // The command that runs the tool as user nobody, for a test that needs a
  // permission root would not be refused; empty, with *why, where that
  // cannot be done.
  static std::vector<std::string> asnobody(std::string* why) {
    const std::vector<std::string> command = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    std::vector<std::string> probe = command;
    probe.insert(probe.end(), {"test", "-x", VANTREL_BINARY});
    if (access("/usr/bin/setpriv", X_OK) != 0)
      *why = "needs setpriv to drop root's privileges";
    else if (runprogram(probe, "/").status != 0)
      *why = std::string("user nobody cannot run ") + VANTREL_BINARY;
    else
      return command;
    return {};
  }

  // The script up to the transition lines, and after them. The pieces are
  // checked byte for byte in the script's own tests; here, their assembly.
  static std::string scriptstart(int slides) {
    std::ostringstream s;
    writescriptopening(s, slides);
    for (int k = 1; k <= slides; ++k) writeclipline(s, k);
    s << openingeffectline;
    return s.str();
  }
  static std::string scriptend() { return std::string(titleblock) + std::string(endblock); }
  // The whole script of a run with at most one slide: no transition lines.
  static std::string script(int slides) { return scriptstart(slides) + scriptend(); }
  // Whether text is the script of `slides` slides: its pieces in order and
  // one transition line of the table for every slide from the second on.
  static ::testing::AssertionResult isscript(const std::string& text, int slides) {
    const std::string start = scriptstart(slides), end = scriptend();
    if (text.rfind(start, 0) != 0 || text.size() < start.size() + end.size() ||
        text.compare(text.size() - end.size(), end.size(), end) != 0)
      return ::testing::AssertionFailure() << "not the script of " << slides << " slides:\n" << text;
    const std::vector<std::string> chain = splitlines(text.substr(start.size(), text.size() - start.size() - end.size()));
    if (chain.size() != static_cast<size_t>(std::max(slides - 1, 0)))
      return ::testing::AssertionFailure() << chain.size() << " transition lines for " << slides << " slides";
    for (size_t i = 0; i < chain.size(); ++i) {
      const std::string n = std::to_string(i + 2);
      if (std::none_of(transitions.begin(), transitions.end(), [&](const transition& t) {
            return chain[i] + "\n" == std::string(t.prefix) + n + std::string(t.suffix);
          }))
        return ::testing::AssertionFailure() << "not a transition line for slide " << n << ": " << chain[i];
    }
    return ::testing::AssertionSuccess();
  }

  // The console log with the directory listing (whose order the file system
  // decides) taken out and returned sorted in *listed.
  static std::vector<std::string> withoutlisting(const std::string& out, std::vector<std::string>* listed) {
    std::vector<std::string> rest;
    for (const std::string& line : splitlines(out)) {
      if (line.rfind("file:", 0) == 0)
        listed->push_back(line.substr(5));
      else
        rest.push_back(line);
    }
    std::sort(listed->begin(), listed->end());
    return rest;
  }

  tempdir dir;
};

TEST_F(Run, TurnsStillsIntoNumberedFramesAndAScript) {
  still("DSC0002.JPG", 300, 400, green);       // portrait
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
  EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "DSC0001.JPG", "DSC0002.JPG", "IMG0003.JPG",
                                               "anim.avs", "notes.txt"}));
  EXPECT_EQ(r.out.rfind("Vantrel 0.1 alpha\nfile:", 0), 0u);

  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), 2));

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
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), 5));
}

TEST_F(Run, AnEmptyFolderGivesTheFixedScript) {
  writefile(dir / "anim.avs", std::string(5000, 'x'));  // replaced, not appended to
  const runresult r = run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nCounter=1\nRun finished..press any key!\n"), std::string::npos);
  EXPECT_EQ(readfile(dir / "anim.avs"), script(0));
  EXPECT_EQ(r.err, "vantrel: no camera stills (names beginning \"DSC\" and containing \".JPG\") were found\n");
}

// A JPEG whose header claims width x height pixels: its frame header patched.
std::string claiming(std::string jpeg, unsigned width, unsigned height) {
  for (size_t at = 2; at + 9 < jpeg.size(); at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 |
                                                       static_cast<unsigned char>(jpeg[at + 3]))) {
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
      {"DSC0004.JPG", [](const std::string& p) { mkdir(p.c_str(), 0755); }, "Is a directory"},
      {"DSC0005.JPG", [&](const std::string& p) { writefile(p, whole.substr(0, whole.size() / 4)); }, "cut short"},
      {"DSC0006.JPG", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, "not a regular file"},
      {"DSC0007.JPG", [](const std::string& p) { fs::create_symlink("/dev/zero", p); }, "not a regular file"},
      {"DSC0008.JPG", [](const std::string& p) { fs::create_symlink("nowhere", p); },
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
       "the image library crashed (Segmentation fault)"},
#endif
      {"DSC0011.JPG.png",
       [](const std::string& p) {
         writepicture(p, 200, 150, [](unsigned x, unsigned y) { return rgb{uint8_t(x * y), uint8_t(x), uint8_t(y)}; });
         writefile(p, readfile(p).substr(0, 2000));
       },
       "png library error, file read error"},
  };
  for (const auto& b : bad) b.make(dir / b.name);
  std::vector<std::string> before;
  for (const auto& e : fs::directory_iterator(dir.path())) before.push_back(e.path().filename().string());

  const auto start = std::chrono::steady_clock::now();
  const runresult r = run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // nothing blocks
  EXPECT_EQ(r.status, 2);
  const std::vector<std::string> errors = splitlines(withoutemulatornotes(r.err));
  ASSERT_EQ(errors.size(), std::size(bad)) << r.err;
  std::vector<std::string> expected = {"Vantrel 0.1 alpha", "processimage:DSC0001.JPG", "ht=60", "wd=80"};
  for (size_t i = 0; i < std::size(bad); ++i) {
    const std::string prefix = std::string("vantrel: ") + bad[i].name + ": cannot load: " + bad[i].reason;
    EXPECT_EQ(errors[i].rfind(prefix, 0), 0u) << errors[i];
    expected.push_back(std::string("processimage:") + bad[i].name);
  }
  EXPECT_EQ(errors.back(), "vantrel: DSC0011.JPG.png: cannot load: png library error, file read error");  // once
  for (const char* line : {"processimage:DSC0099.JPG", "ht=60", "wd=80", "Counter=3", "Run finished..press any key!"})
    expected.push_back(line);
  std::vector<std::string> listed;
  EXPECT_EQ(withoutlisting(r.out, &listed), expected);
  EXPECT_TRUE(near(frame(1).at(360, 288), red));
  EXPECT_TRUE(near(frame(2).at(360, 288), blue));
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), 2));
  // Nothing else is left in the folder.
  std::vector<std::string> after;
  for (const auto& e : fs::directory_iterator(dir.path())) after.push_back(e.path().filename().string());
  before.insert(before.end(), {"anim.avs", "out0001.jpg", "out0002.jpg"});
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
  if (access("/usr/bin/taskset", X_OK) != 0) GTEST_SKIP() << "needs taskset to pin the run to one CPU";
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
  EXPECT_EQ(several.back(), "");                                      // one still failed: seven frames
}

TEST_F(Run, AnInterruptedRunIsSandboxedAndLeavesAConsistentKit) {
  manystills();
  tempdir capture;
  const std::string tag = "VANTREL_TEST_RUN=" + dir.path();
  const int pid = startprogram({"env", tag, VANTREL_BINARY}, dir.path(), capture / "out", capture / "err");
  waitforframe(3);
  // While it runs, every worker is locked in and holds nothing it could
  // write a file or list a folder through.
  const std::string children = readfile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::istringstream workers(children);
  int seen = 0;
  for (int worker; workers >> worker; ++seen) {
    const std::string proc = "/proc/" + std::to_string(worker);
    const std::string status = readfile(proc + "/status");
#if !defined(VANTREL_TEST_WITHOUT_SANDBOX)
    EXPECT_NE(status.find("\nSeccomp:\t2\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nNoNewPrivs:\t1\n"), std::string::npos) << status;
#endif
    std::error_code gone;
    for (auto it = fs::directory_iterator(proc + "/fd", gone); !gone && it != fs::directory_iterator(); it.increment(gone)) {
      const fs::directory_entry& fd = *it;
      std::error_code ec;
      const fs::file_status target = fs::status(fd.path(), ec);
      EXPECT_FALSE(fs::is_directory(target)) << fd.path();
      const std::string info = readfile(proc + "/fdinfo/" + fd.path().filename().string());
      if (info.find("flags:") == std::string::npos) continue;  // closed since it was listed (a still, mapped)
      const int flags = std::stoi(info.substr(info.find("flags:") + 6), nullptr, 8);
      if (fs::is_regular_file(target)) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDONLY) << fd.path();
      }
    }
  }
  EXPECT_GE(seen, 1) << "no worker found under " << pid;
  kill(pid, SIGINT);
  EXPECT_EQ(finishprogram(pid).status, 128 + SIGINT);  // as if killed by it, so a calling script stops too

  int made = 0;
  while (fs::exists(dir / slidename(made + 1))) ++made;
  ASSERT_GE(made, 3);
  ASSERT_LT(made, 81) << "the run ended before it was interrupted";
  for (int n = 1; n <= made; ++n) EXPECT_EQ(frame(n).width, 720u) << n;  // every frame whole
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), made));
  const std::string out = readfile(capture / "out");
  EXPECT_NE(out.find("\nCounter=" + std::to_string(made + 1) + "\n"), std::string::npos);
  EXPECT_EQ(out.find("Run finished"), std::string::npos);
  EXPECT_EQ(readfile(capture / "err"),
            "vantrel: interrupted (Interrupt): " + std::to_string(made) + " slides made, and anim.avs holds them\n");
  size_t entries = 0;
  for (auto it = fs::directory_iterator(dir.path()); it != fs::directory_iterator(); ++it) ++entries;
  EXPECT_EQ(entries, 81u + static_cast<size_t>(made) + 1u);  // the stills, the frames, the script
  EXPECT_EQ(processeswith(tag), std::vector<int>{});          // no worker outlives the run
#if defined(VANTREL_TEST_WITHOUT_SANDBOX)
  // Everything else was checked: a failure above still fails the test.
  GTEST_SKIP() << "the workers' seccomp filter was not checked: built with VANTREL_TEST_WITHOUT_SANDBOX "
                  "(for qemu-user, which has no seccomp)";
#endif
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

TEST_F(Run, EveryOrientationOfACameraPhotoGivesOneUprightFrame) {
  const fs::path corpus = fs::path(VANTREL_CORPUS) / "orientation";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no orientation stills at " << corpus << " in this checkout";
  for (int o = 1; o <= 8; ++o)
    fs::create_symlink(corpus / ("landscape_" + std::to_string(o) + ".jpg"), dir / ("DSC000" + std::to_string(o) + ".JPG"));
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  const picture upright = frame(1);
  for (int o = 2; o <= 8; ++o) {
    EXPECT_NE(r.out.find("processimage:DSC000" + std::to_string(o) + ".JPG\nht=450\nwd=600\n"), std::string::npos);
    const picture f = frame(o);
    ASSERT_EQ(f.width, 720u);
    // Each photo carries its number in the middle; the rest is the same scene.
    long differ = 0, total = 0;
    for (unsigned y = 0; y < 576; y += 4)
      for (unsigned x = 0; x < 720; x += 4) {
        if (x > 280 && x < 440 && y > 200 && y < 380) continue;
        ++total;
        differ += !near(f.at(x, y), upright.at(x, y), 40);
      }
    EXPECT_LT(differ * 100, total) << "orientation " << o << ": " << differ << " of " << total << " samples differ";
  }
}

TEST_F(Run, ErrorsAppearInOrderWhenBothStreamsShareAFile) {
  writefile(dir / "DSC0001.JPG", "not a picture");
  still("DSC0002.JPG", 80, 60, red);
  const runresult r = runprogram({"sh", "-c", std::string("exec '") + VANTREL_BINARY + "' 2>&1"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("\nprocessimage:DSC0001.JPG\nvantrel: DSC0001.JPG: cannot load: "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nprocessimage:DSC0002.JPG\nht=60\nwd=80\nCounter=2\n"), std::string::npos) << r.out;
}

TEST_F(Run, AFrameNameTakenByAFolderStopsTheRun) {
  still("DSC0001.JPG", 80, 60, red);
  fs::create_directory(dir / "out0001.jpg");
  writefile(dir / "out0001.jpg/mine.txt", "keep me");
  const runresult r = run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "vantrel: out0001.jpg: cannot save: is a folder; the run stops, and the kit in the folder is as it was\n");
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
      {"a link to a file of the user's", [&] { fs::create_symlink(elsewhere / "bashrc", dir / "anim.avs"); }, ""},
      {"a link to nowhere", [&] { fs::create_symlink(elsewhere / "nothing", dir / "anim.avs"); }, ""},
      {"a FIFO, which nobody reads", [&] { mkfifo((dir / "anim.avs").c_str(), 0644); }, ""},
      {"a draft a killed run left", [&] { writefile(dir / ".anim.avs.new", "half a script"); }, ""},
  };
  for (const auto& c : cases) {
    fs::remove(dir / "anim.avs");
    c.make();
    const runresult r = run();
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_FALSE(fs::is_symlink(dir / "anim.avs")) << c.what;
    EXPECT_EQ(readfile(dir / "anim.avs"), script(1)) << c.what;
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

TEST_F(Run, AKilledRunLeavesTheOldKitAndTheNextRunTidiesUp) {
  // The kit of an earlier run: four frames and their script.
  for (int i = 1; i <= 4; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, blue);
  ASSERT_EQ(run().status, 0);
  const std::map<std::string, std::string> before = contents();

  // Killed in the middle of writing its third frame, held there by the hook.
  for (int i = 1; i <= 6; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, yellow);
  tempdir capture;
  std::vector<std::string> command = preloading(VANTREL_CRASHHOOK);
  command.insert(command.end(), {"ASAN_OPTIONS=verify_asan_link_order=0", "VANTREL_TEST_HOLD=" + draftframename(3),
                                 VANTREL_BINARY});
  const int pid = startprogram(command, dir.path(), capture / "out", capture / "err");
  waitforframe(3);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGKILL);
  EXPECT_EQ(finishprogram(pid).status, 128 + SIGKILL);
  std::map<std::string, std::string> after = contents();
  EXPECT_LT(after.at(draftframename(3)).size(), after.at(draftframename(2)).size()) << "not killed mid-write";
  for (const std::string& left : {draftframename(1), draftframename(2), draftframename(3), std::string(".anim.avs.new")})
    EXPECT_EQ(after.erase(left), 1u) << left;
  for (const auto& [name, bytes] : before) {
    if (name.rfind("DSC", 0) == 0) continue;  // the stills were replaced
    EXPECT_EQ(after.at(name), bytes) << name << " of the old kit changed";
  }
  EXPECT_EQ(after.size(), before.size() + 2);  // two more stills, nothing else

  // The next run clears away what was left, and says nothing of it.
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), 6));
  EXPECT_TRUE(near(frame(3).at(360, 288), yellow));
  for (const auto& [name, bytes] : contents()) EXPECT_NE(name[0], '.') << name << " left behind";
  EXPECT_EQ(r.out.find("file:."), r.out.find("file:.\n")) << "a temporary file was listed";
}

TEST_F(Run, ABusyFolderIsLeftAlone) {
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "anim.avs", "the script of the run that holds the folder");
  // Held as a run holds it.
  const int held = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const runresult r = run();
  close(held);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Vantrel 0.1 alpha\n");
  EXPECT_EQ(r.err, "vantrel: " + fs::canonical(dir.path()).string() +
                       ": busy: another vantrel run is working in this folder\n");
  EXPECT_EQ(readfile(dir / "anim.avs"), "the script of the run that holds the folder");
  EXPECT_FALSE(fs::exists(dir / "out0001.jpg"));
  EXPECT_FALSE(fs::exists(dir / ".anim.avs.new"));
}

TEST_F(Run, FramesOfAnEarlierRunDoNotOutliveIt) {
  for (int i = 1; i <= 6; ++i) still("DSC000" + std::to_string(i) + ".JPG", 80, 60, red);
  ASSERT_EQ(run().status, 0);
  writefile(dir / "out0009.jpg", "not in the series: kept");
  writefile(dir / "out0007.jpg.bak", "not a frame's name: kept");
  fs::remove(dir / "DSC0005.JPG");
  fs::remove(dir / "DSC0006.JPG");
  runresult r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "vantrel: removed out0005.jpg and out0006.jpg, frames of an earlier run\n");
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

TEST_F(Run, AnOldFrameThatCannotBeRemovedIsReported) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to leave a frame that another user's run cannot remove";
  std::string why;
  std::vector<std::string> command = asnobody(&why);
  if (command.empty()) GTEST_SKIP() << why;
  command.push_back(VANTREL_BINARY);
  // A shared folder (sticky, as /tmp is) with root's frames of an earlier run.
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "out0002.jpg", "root's");
  writefile(dir / "out0003.jpg", "root's");
  chmod(dir.path().c_str(), 01777);
  const runresult r = runprogram(command, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "vantrel: cannot remove out0002.jpg, a frame of an earlier run: Operation not permitted\n");
  EXPECT_EQ(readfile(dir / "anim.avs"), script(1));
  EXPECT_EQ(readfile(dir / "out0002.jpg"), "root's");
}

TEST_F(Run, NamesAreShownSafelyOnStandardError) {
  // Names a downloaded folder may hold: a line of its own, a terminal's
  // title, and bytes that are not UTF-8.
  const std::string forged = "DSC1.JPG\nvantrel: DSC2.JPG: cannot load: forged", title = "DSC3\x1b]0;owned\x07.JPG",
                    latin = "DSC4\xe9t\xe9.JPG", fine = "DSC5-\xce\xa9mega.JPG";
  for (const std::string& name : {forged, title, latin, fine}) writefile(dir / name, "not a picture");
  const runresult r = run();
  EXPECT_EQ(r.status, 2);
  const std::vector<std::string> lines = splitlines(r.err);
  ASSERT_EQ(lines.size(), 4u) << r.err;
  EXPECT_EQ(lines[0].rfind("vantrel: DSC1.JPG\\nvantrel: DSC2.JPG: cannot load: forged: cannot load: ", 0), 0u);
  EXPECT_EQ(lines[1].rfind("vantrel: DSC3\\033]0;owned\\007.JPG: cannot load: ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("vantrel: DSC4\\xe9t\\xe9.JPG: cannot load: ", 0), 0u);
  EXPECT_EQ(lines[3].rfind("vantrel: " + fine + ": cannot load: ", 0), 0u);
  // A log that is not a terminal gets the names as they are.
  EXPECT_NE(r.out.find("\nfile:" + forged + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nprocessimage:" + title + "\n"), std::string::npos);
}

TEST_F(Run, AStillThatCrashesItsWorkerCostsOnlyItself) {
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "DSC0002.JPG.crash", "vantrel test: crash here, in the image library");
  still("DSC0003.JPG", 80, 60, blue);
  // The crash is injected into the library's type probe, so that it comes
  // on every run and on every machine. Started with SIGCHLD ignored, as some
  // launchers leave it, the run must still learn how its worker died.
  for (const bool childsignalignored : {false, true}) {
    std::vector<std::string> command = preloading(VANTREL_CRASHHOOK);
    if (childsignalignored) command.insert(command.begin(), {"env", "--ignore-signal=CHLD"});
    command.insert(command.end(), {"ASAN_OPTIONS=verify_asan_link_order=0", VANTREL_BINARY});
    const runresult r = runprogram(command, dir.path());
    EXPECT_EQ(r.status, 2) << childsignalignored;
    EXPECT_EQ(withoutemulatornotes(r.err),
              "vantrel: DSC0002.JPG.crash: crashhook: about to touch address 0\n"
              "vantrel: DSC0002.JPG.crash: cannot load: the image library crashed (Segmentation fault)\n")
        << childsignalignored;
    EXPECT_TRUE(near(frame(1).at(360, 288), red));
    EXPECT_TRUE(near(frame(2).at(360, 288), blue));
    EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), 2));
  }
}

// The processes a run has started, and the processor time one has used.
std::vector<int> childrenof(int pid) {
  std::istringstream in(readfile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  std::vector<int> children;
  for (int child; in >> child;) children.push_back(child);
  return children;
}
double cpuseconds(int pid) {
  const std::string stat = readfile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream in(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 0; i < 11; ++i) in >> field;  // state ... cmajflt
  long user = 0, system = 0;
  in >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(Run, AWorkerKilledOrAStillChangedUnderItCostsOnlyThatStill) {
  still("DSC0001.JPG", 80, 60, red);
  still("DSC0003.JPG", 80, 60, blue);
  // The hook holds the worker of this still, reading its bytes, until it
  // is killed or the file is cut under it (a bus error on its mapping).
  const std::string held = dir / "DSC0002.JPG.hold";
  const struct {
    std::function<void(int worker)> act;
    std::string reason;
  } cases[] = {
      {[&](int) { fs::resize_file(held, 0); }, "changed while it was read"},
      {[](int worker) { kill(worker, SIGKILL); }, "the worker was killed (Killed)"},
  };
  for (const auto& c : cases) {
    writefile(held, "vantrel test: hold here, " + std::string(5000, 'x'));
    std::vector<std::string> command = preloading(VANTREL_CRASHHOOK);
    command.insert(command.end(), {"ASAN_OPTIONS=verify_asan_link_order=0", VANTREL_BINARY});
    tempdir capture;
    const int pid = startprogram(command, dir.path(), capture / "out", capture / "err");
    int spinning = 0;
    const auto start = std::chrono::steady_clock::now();
    while (spinning == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (int worker : childrenof(pid))
        if (cpuseconds(worker) > 0.3) spinning = worker;
    }
    ASSERT_NE(spinning, 0) << "no worker was held";
    c.act(spinning);
    EXPECT_EQ(finishprogram(pid).status, 2);
    EXPECT_EQ(withoutemulatornotes(readfile(capture / "err")), "vantrel: DSC0002.JPG.hold: cannot load: " + c.reason + "\n");
    EXPECT_TRUE(near(frame(2).at(360, 288), blue)) << c.reason;
  }
}

TEST_F(Run, AWorkerWhoseSetUpRunsOutOfMemoryEndsInTheWorker) {
  still("DSC0001.JPG", 80, 60, red);
  still("DSC0002.JPG", 80, 60, blue);
  // Each worker's image library runs out of memory before its sandbox:
  // each still says so; no worker takes the driver's way out.
  std::vector<std::string> command = preloading(VANTREL_CRASHHOOK);
  command.insert(command.end(), {"ASAN_OPTIONS=verify_asan_link_order=0", "VANTREL_TEST_SETUP_OOM=1", VANTREL_BINARY});
  const runresult r = runprogram(command, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "vantrel: DSC0001.JPG: cannot load: out of memory\n"
            "vantrel: DSC0002.JPG: cannot load: out of memory\n");
  EXPECT_EQ(readfile(dir / "anim.avs"), script(0));
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
      {"a file size limit that a frame passes", {"prlimit", "--fsize=100000"}, [] {}, [] {},
       "out0003.jpg: cannot save: File too large"},
      {"a folder under a frame's name", {},
       [&] {
         fs::remove(dir / "out0003.jpg");
         fs::create_directory(dir / "out0003.jpg");
       },
       [&] { fs::remove(dir / "out0003.jpg"); }, "out0003.jpg: cannot save: is a folder"},
      {"a folder under the draft's name", {}, [&] { fs::create_directory(dir / draft); },
       [&] { fs::remove(dir / draft); }, "anim.avs: cannot create: its draft .anim.avs.new is a folder"},
      {"a folder nobody may write", nobody, [&] { chmod(dir.path().c_str(), 0555); },
       [&] { chmod(dir.path().c_str(), 0755); }, "anim.avs: cannot create: Permission denied"},
  };
  for (const auto& c : cases) {
    if (c.command == nobody && nobody.empty()) {
      std::cout << "skipped " << c.what << ": " << whynot << "\n";
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
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' checks need descriptors of their own: without any,
  // UndefinedBehaviorSanitizer takes every object for one of a wrong type.
  std::cout << "not checked here: a run out of descriptors (the sanitizers need some); "
               "the build without them checks it\n";
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
  // The least address space in which the program starts at all, halved out.
  long low = 1 << 10, high = 256 << 10;
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
    ASSERT_TRUE(r.status == 0 || r.status == 2 || (r.status == 127 && r.out.empty())) << kib << " KiB: " << r.err;
    if (r.status != 2 || r.err.find("vantrel: out of memory\n") == std::string::npos) continue;
    ++driver;
    EXPECT_EQ(r.err, "vantrel: out of memory\n") << kib << " KiB";
    EXPECT_EQ(differences(before, contents()), "") << kib << " KiB";
  }
  EXPECT_GT(driver, 0) << "the driver never ran out of memory";
  ASSERT_EQ(run().status, 0);  // and the next run tidies up
  for (const auto& [name, bytes] : contents()) EXPECT_NE(name[0], '.') << name << " left behind";
}

TEST_F(Run, StandardInputIsLeftToWhoeverStartedTheRun) {
  // A loop that feeds folder names to runs: no run may take any of them.
  for (const char* folder : {"a", "b", "c"}) {
    fs::create_directory(dir / folder);
    ASSERT_TRUE(writehalves(dir / folder + "/DSC0001.JPG", 80, 60, red, blue));
  }
  const runresult r = runprogram(
      {"sh", "-c",
       std::string("printf 'a\\nb\\nc\\n' | while read -r d; do '") + VANTREL_BINARY +
           "' \"$d\" >/dev/null 2>&1; echo \"$d:$?\"; done"},
      dir.path());
  EXPECT_EQ(r.out, "a:0\nb:0\nc:0\n");
  for (const char* folder : {"a", "b", "c"}) EXPECT_TRUE(isscript(readfile(dir / folder + "/anim.avs"), 1)) << folder;
}

TEST_F(Run, TheKeyWaitTakesOneKeyOnATerminalAndPutsItBack) {
  still("DSC0001.JPG", 80, 60, red);
  for (const bool interrupted : {false, true}) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    tempdir capture;
    const pid_t pid = fork();
    if (pid == 0) {
      // In a session of its own, with the terminal as its standard input.
      setsid();
      const int in = open(terminal.c_str(), O_RDWR);
      const int out = open((capture / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || ioctl(in, TIOCSCTTY, 0) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
          dup2(out, 2) < 0 || chdir(dir.path().c_str()) != 0)
        _exit(126);
      execl(VANTREL_BINARY, VANTREL_BINARY, nullptr);
      _exit(127);
    }
    const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    const auto start = std::chrono::steady_clock::now();
    while (readfile(capture / "out").find("press any key!") == std::string::npos &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    termios waiting{};
    ASSERT_EQ(tcgetattr(slave, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & (ICANON | ECHO), 0u) << "the terminal waits for a line";
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the run did not wait";
    if (interrupted)
      kill(pid, SIGTERM);
    else
      ASSERT_EQ(write(master, "x", 1), 1);  // one key, no Enter
    EXPECT_EQ(finishprogram(pid, std::chrono::seconds(10)).status, interrupted ? 128 + SIGTERM : 0);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal was not put back";
    close(slave);
    close(master);
  }
}

TEST_F(Run, TheCommandLine) {
  still("DSC0001.JPG", 80, 60, red);
  writefile(dir / "anim.avs", "an earlier script");
  writefile(dir / "notes.txt", "a file");
  const std::string usage = "usage: vantrel [--help] [--version] [FOLDER]\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of it
    std::string err;
  } cases[] = {
      {{"--help"}, 0, "usage: vantrel [FOLDER]\n", ""},
      {{"-h"}, 0, "usage: vantrel [FOLDER]\n", ""},
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

  // A folder named on the line is the one worked in, wherever the run starts.
  tempdir elsewhere;
  const runresult r = runprogram({VANTREL_BINARY, "--", dir.path()}, elsewhere.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readfile(dir / "anim.avs"), script(1));
  EXPECT_TRUE(near(frame(1).at(360, 288), red));
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST_F(Run, ALogNobodyCanReadCostsNothingElse) {
  still("DSC0001.JPG", 80, 60, red);
  // A full disk behind standard output, and a pipe whose reader has gone.
  tempdir capture;
  spawnresult full = spawn({VANTREL_BINARY}, dir.path(), "/dev/full", capture / "err");
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(readfile(capture / "err"), "vantrel: standard output: cannot write the log: No space left on device\n");
  EXPECT_EQ(readfile(dir / "anim.avs"), script(1));
  EXPECT_TRUE(near(frame(1).at(360, 288), red));

  fs::remove(dir / "out0001.jpg");
  int pipefds[2];
  ASSERT_EQ(pipe(pipefds), 0);
  close(pipefds[0]);  // as when `vantrel | head -1` has had its line
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefds[1], 1);
    const int err = open((capture / "err").c_str(), O_WRONLY | O_TRUNC);
    const int in = open("/dev/null", O_RDONLY);
    if (err < 0 || in < 0 || dup2(err, 2) < 0 || dup2(in, 0) < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    execl(VANTREL_BINARY, VANTREL_BINARY, nullptr);
    _exit(127);
  }
  close(pipefds[1]);
  EXPECT_EQ(finishprogram(pid).status, 2);
  EXPECT_EQ(readfile(capture / "err"), "vantrel: standard output: cannot write the log: Broken pipe\n");
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
  EXPECT_NE(readfile(capture / "out").find("press any key!\n"), std::string::npos);
  EXPECT_EQ(readfile(dir / "anim.avs"), script(1));
}

TEST_F(Run, AnInterruptionDuringTheListingIsAnsweredThere) {
  // Thousands of FIFOs with a still's name: each fails at once, so the run
  // never waits for a worker; it must look for the interruption itself.
  for (int i = 0; i < 20000; ++i) mkfifo((dir / ("DSC" + std::to_string(i) + ".JPG")).c_str(), 0644);
  tempdir capture;
  const int pid = startprogram({VANTREL_BINARY}, dir.path(), capture / "out", capture / "err");
  const auto start = std::chrono::steady_clock::now();
  while (readfile(capture / "out").find("file:") == std::string::npos &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(pid, SIGINT);
  EXPECT_EQ(finishprogram(pid).status, 128 + SIGINT);
  const std::vector<std::string> errors = splitlines(readfile(capture / "err"));
  EXPECT_LT(errors.size(), 20000u) << "every FIFO was reported before the interruption was";
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back().rfind("vantrel: interrupted (Interrupt): 0 slides made", 0), 0u) << errors.back();
}

TEST_F(Run, CtrlBackslashIsAnsweredLikeCtrlCAndLeavesNoCore) {
  manystills();
  tempdir capture;
  const int pid = startprogram({VANTREL_BINARY}, dir.path(), capture / "out", capture / "err");
  waitforframe(2);
  kill(pid, SIGQUIT);
  EXPECT_EQ(finishprogram(pid).status, 128 + SIGQUIT);
  int made = 0;
  while (fs::exists(dir / slidename(made + 1))) ++made;
  EXPECT_EQ(withoutemulatornotes(readfile(capture / "err")),
            "vantrel: interrupted (Quit): " + std::to_string(made) + " slides made, and anim.avs holds them\n");
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), made));
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().rfind("core", 0), std::string::npos) << e.path();
}

TEST_F(Run, AnUnreadableFolderStopsBeforeTouchingTheScript) {
  writefile(dir / "anim.avs", "an earlier script");
  chmod((dir / "anim.avs").c_str(), 0666);
  still("DSC0001.JPG", 80, 60, red);
  // Enterable and writable, but not listable.
  chmod(dir.path().c_str(), 0333);
  std::vector<std::string> command;
  if (geteuid() == 0) {
    // Root reads any folder; the tool must run as somebody else.
    std::string why;
    command = asnobody(&why);
    if (command.empty()) GTEST_SKIP() << why;
  }
  command.push_back(VANTREL_BINARY);
  const runresult r = runprogram(command, dir.path());
  chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Vantrel 0.1 alpha\nOpendir failure;terminating");
  EXPECT_EQ(r.err, "vantrel: cannot open the current directory: Permission denied\n");
  EXPECT_EQ(readfile(dir / "anim.avs"), "an earlier script");
  EXPECT_FALSE(fs::exists(dir / "out0001.jpg"));
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
    fs::create_symlink(files[i], dir / name);
  }
  const runresult r = run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nCounter=" + std::to_string(files.size() + 1) + "\n"), std::string::npos);
  EXPECT_TRUE(isscript(readfile(dir / "anim.avs"), static_cast<int>(files.size())));

  // The corpus names carry the pixel size: name_WxH.jpg.
  const std::regex sized(R"(_(\d+)x(\d+)\.jpg$)");
  for (size_t i = 0; i < files.size(); ++i) {
    std::smatch m;
    const std::string file = files[i].filename().string();
    ASSERT_TRUE(std::regex_search(file, m, sized)) << file;
    const unsigned w = static_cast<unsigned>(std::stoul(m[1])), h = static_cast<unsigned>(std::stoul(m[2]));
    EXPECT_NE(r.out.find("processimage:" + names[i] + "\nht=" + std::to_string(h) +
                         "\nwd=" + std::to_string(w) + "\n"),
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
