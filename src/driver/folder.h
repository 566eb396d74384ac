// The folder a run works in, as the platform offers it: its listing, the
// stills read from it and the frames and script written to it. Everything
// the driver does to the user's folder goes through here, so that it is in
// one place and the same on every platform: folder-posix.cc implements it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The entries of a folder, one at a time.
class folderlisting {
 public:
  // Opens path for listing; ok() says whether that worked, error() why not.
  explicit folderlisting(const std::string& path);
  ~folderlisting();
  folderlisting(const folderlisting&) = delete;
  folderlisting& operator=(const folderlisting&) = delete;

  bool ok() const;
  // The next entry's name, in the order the file system keeps them; false
  // at the end, and then error() is empty unless the listing broke off.
  bool next(std::string* name);
  const std::string& error() const;

 private:
  struct platform;
  std::unique_ptr<platform> native_;
  std::string error_;
};

// Opens a still for reading, without blocking and only if it is a regular
// file of at most stillfilelimit bytes (wire.h). Returns the descriptor and
// sets *size, or returns -1 with *reason in plain words.
int openstill(const std::string& name, uint64_t* size, std::string* reason);

// Writes a frame under path, replacing an older file of that name. A frame
// that cannot be written whole leaves nothing under the name.
bool writeframe(const std::string& path, const std::string& jpeg, std::string* reason);

// Creates the script file path, or empties it if it exists, for writing.
// Returns the descriptor, or -1 with *reason.
int createscript(const char* path, std::string* reason);

// Closes a descriptor; 0, or the errno of the failure.
int closefile(int fd);
