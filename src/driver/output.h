// A buffered output stream over a file descriptor that remembers the first
// system error, so that output which could not be written is reported, with
// its reason, instead of being lost silently. Writes after a failure are
// dropped.
#pragma once

#include <memory>
#include <ostream>
#include <string>

class outputfile {
 public:
  outputfile();
  ~outputfile();
  outputfile(const outputfile&) = delete;
  outputfile& operator=(const outputfile&) = delete;

  // Creates or empties the script file path. False, with error() set, if
  // that fails.
  bool open(const char* path);
  std::ostream& stream();
  // Writes out the buffer and closes the file. False if opening, any write
  // or the close failed; error() then holds the first reason.
  bool close();
  const std::string& error() const;

 private:
  class fdbuf;
  std::unique_ptr<fdbuf> buf_;
  std::ostream stream_;
};
