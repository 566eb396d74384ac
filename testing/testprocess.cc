// What running a program in a test is, whatever the platform: a start and
// a finish (testprocess-linux.cc, testprocess-win32.cc) around it.
#include "testprocess.h"

#include <algorithm>
#include <chrono>

spawnresult spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& outpath,
                  const std::string& errpath) {
  const auto start = std::chrono::steady_clock::now();
  spawnresult r = finishprogram(startprogram(argv, dir, outpath, errpath));
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

runresult runprogram(const std::vector<std::string>& argv, const std::string& dir) {
  tempdir capture;
  const std::string outpath = capture / "out", errpath = capture / "err";
  runresult r;
  r.status = spawn(argv, dir, outpath, errpath).status;
  r.out = readfile(outpath);
  r.err = readfile(errpath);
  const std::string newline = textnewline;
  for (std::string* text : {&r.out, &r.err}) {
    std::string lf;
    for (size_t at = 0, end; at < text->size(); at = end + newline.size()) {
      end = std::min(text->find(newline, at), text->size());
      lf.append(*text, at, end - at);
      if (end < text->size()) lf += '\n';
    }
    *text = lf;
  }
  return r;
}
