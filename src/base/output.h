// A buffered output stream over a file descriptor that remembers the first
// system error, so that output which could not be written is reported, with
// its reason, instead of being lost silently. Writes after a failure are
// dropped. The run's log (standard output) and its script go through one.
#pragma once

#include <memory>
#include <ostream>
#include <string>

class outputfile {
 public:
  // Not yet open: writes are dropped until adopt().
  outputfile();
  // Writes to fd, which it leaves open (standard output).
  explicit outputfile(int fd);
  ~outputfile();
  outputfile(const outputfile&) = delete;
  outputfile& operator=(const outputfile&) = delete;

  // Writes to fd, a file made for it, which close() writes through to the
  // disk and closes.
  void adopt(int fd);
  std::ostream& stream();
  // Writes out the buffer, and for a file it adopted, writes it through to
  // the disk and closes it. False if any write or the close failed;
  // error() then holds the first reason.
  bool close();
  const std::string& error() const;

 private:
  class fdbuf;
  std::unique_ptr<fdbuf> buf_;
  std::ostream stream_;
};
