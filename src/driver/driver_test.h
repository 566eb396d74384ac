// The end-to-end tests' fixture: the built tool, run as a user runs it, in
// folders made for each test (driver_test.cc, and driver-posix_test.cc for
// what needs POSIX: signals, FIFOs, preloaded hooks, terminals, limits).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "kit/kit.h"
#include "script/script.h"
#include "slide/slide.h"
#include "testprocess.h"

namespace fs = std::filesystem;

const rgb red{220, 30, 30}, blue{30, 40, 210}, green{40, 200, 60}, yellow{230, 220, 40}, black{0, 0, 0};

// The built tool, run as a user runs it, in a folder of the test's own.
class Run : public ::testing::Test {
 protected:
  runresult run() { return runprogram({VANTREL_BINARY}, dir.path()); }

  // A still of one colour, or two halves.
  void still(const std::string& name, unsigned w, unsigned h, rgb top, rgb bottom) {
    ASSERT_TRUE(writehalves(dir / name, w, h, top, bottom));
  }
  void still(const std::string& name, unsigned w, unsigned h, rgb colour) { still(name, w, h, colour, colour); }

  picture frame(int number) { return readpicture(dir / slidename(number)); }

  // A script a run wrote, read with "\n" for its line breaks, which must be
  // the platform's own (textnewline).
  std::string readscript(const std::string& path = "") const {
    const std::string text = readfile(path.empty() ? dir / "anim.avs" : path), newline = textnewline;
    std::string lf;
    for (size_t at = 0; at < text.size();) {
      const size_t end = text.find(newline, at);
      const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
        ADD_FAILURE() << "a line break that is not this platform's in: " << line;
      lf += line + (end == std::string::npos ? "" : "\n");
      at = end == std::string::npos ? text.size() : end + newline.size();
    }
    return lf;
  }

  // 81 camera-sized stills (one picture, linked), for a run that takes a
  // while; and the wait, of at most 30 s, until it has made frame n (under
  // its temporary name, until the run puts its kit in place).
  void manystills() {
    still("DSC0000.JPG", 1600, 1200, red, blue);
    for (int i = 1; i <= 80; ++i)
      ASSERT_TRUE(linkorcopy(dir / "DSC0000.JPG", dir / ("DSC" + std::to_string(1000 + i) + ".JPG")));
  }
  // The corpus photo in its eight EXIF orientations as DSC0001.JPG ...
  // DSC0008.JPG, orientation o as the still of slide o.
  void orientationstills(const fs::path& corpus) {
    for (int o = 1; o <= 8; ++o)
      ASSERT_TRUE(linkorcopy((corpus / ("landscape_" + std::to_string(o) + ".jpg")).string(),
                             dir / ("DSC000" + std::to_string(o) + ".JPG")));
  }
  void waitforframe(int n) {
    const auto start = std::chrono::steady_clock::now();
    while (!fs::exists(dir / draftframename(n)) && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
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

  // Whether the tool, run in the folder with these words after its name
  // (after `prefix`, which may run it as another user), is refused for
  // `reason` (the line on standard error, without "vantrel: "), with
  // nothing on standard output and the folder left as it was. A build that
  // renders no video refuses --video first, whatever the file.
  ::testing::AssertionResult refuses(const std::vector<std::string>& args, const std::string& reason,
                                     std::vector<std::string> prefix = {}) {
    std::string line = "vantrel: " + reason + "\n";
#if !defined(VANTREL_VIDEO)
    if (args.size() > 1 && args[0] == "--video")
      line = "vantrel: --video " + args[1] +
             ": this build cannot render video; the script anim.avs, run by AviSynth, is the road to one\n"
             "usage: vantrel [--help] [--version] [--fit] [--video FILE [--size SIZE] [--motion] [--music FILE] "
             "[--title TEXT]] [FOLDER]\n";
#endif
    const folderfiles before = contents();
    prefix.push_back(VANTREL_BINARY);
    prefix.insert(prefix.end(), args.begin(), args.end());
    const runresult r = runprogram(prefix, dir.path());
    const std::string changed = differences(before, contents());
    if (r.status == 1 && r.err == line && r.out.empty() && changed.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << r.status << ", " << r.err << r.out << "; changed:" << changed;
  }

  // The command that runs the tool as user nobody, for a test that needs a
  // permission root would not be refused; empty, with *why, where that
  // cannot be done.
  static std::vector<std::string> asnobody(std::string* why) {
    const std::vector<std::string> command = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    std::vector<std::string> probe = command;
    probe.insert(probe.end(), {"test", "-x", VANTREL_BINARY});
    if (!canrun("setpriv"))
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
    const std::vector<std::string> chain =
        splitlines(text.substr(start.size(), text.size() - start.size() - end.size()));
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
