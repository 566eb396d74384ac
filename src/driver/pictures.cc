#include "driver/pictures.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/io.h"
#include "slide/picture.h"

picturestore::~picturestore() {
  if (fd_ >= 0) ::close(fd_);
}

bool picturestore::open(const std::string& folder, std::string* why) {
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return true;
  // A file system without files of no name: one, named for a moment.
  std::string name = folder + "/.vantrel-pictures.XXXXXX";
  fd_ = mkostemp(name.data(), O_CLOEXEC);
  if (fd_ >= 0) {
    ::unlink(name.c_str());
    return true;
  }
  *why = std::strerror(errno);
  return false;
}

bool picturestore::expected(const slideresult& made, const picturewish& wish) {
  const picturesize want = wishedpicture(made.width, made.height, wish);
  return made.picturewidth == want.width && made.pictureheight == want.height &&
         made.picture.size() == yuvbytes(want.width, want.height);
}

bool picturestore::add(const slideresult& made, std::string* why) {
  if (const int error = writeall(fd_, made.picture.data(), made.picture.size())) {
    *why = std::strerror(error);
    return false;
  }
  spans_.push_back({size_, made.picturewidth, made.pictureheight});
  size_ += made.picture.size();
  return true;
}
