#include "driver/pictures.h"

#include <cstring>

#include "base/io.h"
#include "kit/folder.h"
#include "slide/picture.h"

picturestore::~picturestore() {
  if (fd_ >= 0) closefile(fd_);
}

bool picturestore::open(const std::string& folder) {
  std::string why;
  fd_ = scratchfile(folder, &why);
  if (fd_ < 0) failure_ = "cannot keep its pictures in " + folder + ": " + why;
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
