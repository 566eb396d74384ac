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

bool picturestore::open(const std::string& folder) {
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without files of no name: one, named for a moment.
    std::string name = folder + "/.vantrel-pictures.XXXXXX";
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) ::unlink(name.c_str());
  }
  if (fd_ < 0) failure_ = std::string("cannot keep its pictures in ") + folder + ": " + std::strerror(errno);
  return fd_ >= 0;
}

bool picturestore::expected(const slideresult& made) const {
  const picturesize want = wishedpicture(made.width, made.height, wish_);
  return made.picturewidth == want.width && made.pictureheight == want.height &&
         made.picture.size() == yuvbytes(want.width, want.height);
}

void picturestore::add(const slideresult& made) {
  if (!failure_.empty()) return;
  if (const int error = writeall(fd_, made.picture.data(), made.picture.size())) {
    failure_ = std::string("cannot keep its pictures: ") + std::strerror(error);
    return;
  }
  spans_.push_back({size_, made.picturewidth, made.pictureheight});
  size_ += made.picture.size();
}
