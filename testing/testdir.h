// Helpers for tests that work with real files and folders.
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

std::string readfile(const std::string& path);
// A symbolic link at link to target; false where none can be made.
bool linkto(const std::string& target, const std::string& link);
// The file at from, linked (or copied where no link can be made) to to.
bool linkorcopy(const std::string& from, const std::string& to);
void writefile(const std::string& path, const std::string& content);
std::vector<std::string> splitlines(const std::string& text);
