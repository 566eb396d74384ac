// Helpers for tests that work with real files and processes.
#pragma once

#include <string>
#include <vector>

// A fresh directory under the system's temporary folder, removed with all
// it holds (permissions restored first) when the object goes.
class tempdir {
 public:
  tempdir();
  ~tempdir();
  tempdir(const tempdir&) = delete;
  tempdir& operator=(const tempdir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes the directory current for the object's life.
class scopedcwd {
 public:
  explicit scopedcwd(const std::string& dir);
  ~scopedcwd();
  scopedcwd(const scopedcwd&) = delete;
  scopedcwd& operator=(const scopedcwd&) = delete;

 private:
  std::string previous_;
};

struct runresult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] (searched on PATH) in dir with standard input from /dev/null.
runresult runprogram(const std::vector<std::string>& argv, const std::string& dir);

std::string readfile(const std::string& path);
void writefile(const std::string& path, const std::string& content);
