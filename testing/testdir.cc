#include "testdir.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

tempdir::tempdir() {
  static std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "vantrel-test-%016llx", static_cast<unsigned long long>(random()));
    const fs::path candidate = fs::temp_directory_path() / name;
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) path_ = candidate.generic_string();
  }
  if (path_.empty()) throw std::runtime_error("cannot make a temporary folder");
}

tempdir::~tempdir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

scopedcwd::scopedcwd(const std::string& dir) : previous_(fs::current_path().string()) { fs::current_path(dir); }

scopedcwd::~scopedcwd() {
  std::error_code ec;
  fs::current_path(previous_, ec);
}

std::string readfile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writefile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> splitlines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

bool linkto(const std::string& target, const std::string& link) {
  std::error_code cannot;
  std::filesystem::create_symlink(target, link, cannot);
  return !cannot;
}

bool linkorcopy(const std::string& from, const std::string& to) {
  std::error_code cannot;
  return linkto(from, to) || std::filesystem::copy_file(from, to, cannot);
}
