#include "slide/image.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <cerrno>
#include <cstring>

namespace {

// Empties the library's error stack into one line, and adds the system's
// reason where the library failed on the file itself.
std::string takeerrors(int syserr) {
  std::string text;
  bool filefault = false;
  for (ILenum e = ilGetError(); e != IL_NO_ERROR; e = ilGetError()) {
    if (!text.empty()) text += ", ";
    const char* s = iluErrorString(e);
    text += s ? s : "unknown error";
    filefault |= e == IL_COULD_NOT_OPEN_FILE || e == IL_FILE_READ_ERROR || e == IL_FILE_WRITE_ERROR;
  }
  if (text.empty()) text = "unknown error";
  if (filefault && syserr != 0) text += std::string(" (") + std::strerror(syserr) + ")";
  return text;
}

void clearerrors() {
  while (ilGetError() != IL_NO_ERROR) {
  }
}

// Runs one library call that reports success as IL_TRUE.
template <typename Call>
bool checked(Call call, std::string* reason) {
  clearerrors();
  errno = 0;
  if (call() == IL_TRUE) return true;
  const int syserr = errno;
  if (reason) *reason = takeerrors(syserr);
  return false;
}

}  // namespace

void initimagelibrary() {
  ilInit();
  iluInit();
}

bool loadimage(const char* path, std::string* reason) {
  if (!checked([&] { return ilLoadImage(path); }, reason)) return false;
  // Scaling a palette picture would blend palette indices, not colours.
  // Camera JPEGs never have a palette; other formats with a still's name can.
  if (ilGetInteger(IL_IMAGE_FORMAT) == IL_COLOUR_INDEX)
    return checked([] { return ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE); }, reason);
  return true;
}

imagesize currentimagesize() {
  return {static_cast<unsigned>(ilGetInteger(IL_IMAGE_WIDTH)),
          static_cast<unsigned>(ilGetInteger(IL_IMAGE_HEIGHT))};
}

bool scaleimage(unsigned width, unsigned height, std::string* reason) {
  iluImageParameter(ILU_FILTER, ILU_BILINEAR);
  return checked([&] { return iluScale(width, height, 1); }, reason);
}

bool centreoncanvas(unsigned width, unsigned height, std::string* reason) {
  ilClearColour(0, 0, 0, 0);
  iluImageParameter(ILU_PLACEMENT, ILU_CENTER);
  return checked([&] { return iluEnlargeCanvas(width, height, 1); }, reason);
}

bool saveimage(const char* path, std::string* reason) {
  return checked([&] { return ilSaveImage(path); }, reason);
}
