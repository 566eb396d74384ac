#include "slide/image.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "slide/jpeg.h"
#include "slide/orientation.h"
#include "slide/slide.h"

namespace {

// The library's allocations, counted. Each block carries its size in a
// header of 16 bytes, which keeps the alignment malloc gives.
constexpr size_t blockheader = 16;
size_t budget = 0;  // 0: no limit
size_t inuse = 0;
bool refused = false;   // an allocation was refused since the last load began
bool watching = false;  // the current image exists, so its claimed size can be read

// What the current image's size fields claim, in 64 bits: the library sets
// them before it allocates the pixels, and keeps the product in 32 bits,
// which a crafted header can wrap around to a small number.
uint64_t claimedbytes() {
  auto field = [](ILenum e) { return static_cast<uint64_t>(static_cast<ILuint>(ilGetInteger(e))); };
  return field(IL_IMAGE_WIDTH) * field(IL_IMAGE_HEIGHT) * field(IL_IMAGE_DEPTH) * field(IL_IMAGE_BYTES_PER_PIXEL);
}

void* ILAPIENTRY budgetalloc(const ILsizei size) {
  if (budget != 0 && (size > budget - inuse || (watching && claimedbytes() > budget))) {
    refused = true;
    return nullptr;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + blockheader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  inuse += size;
  return block + blockheader;
}

void ILAPIENTRY budgetfree(const void* ptr) {
  if (!ptr) return;
  auto* block = static_cast<unsigned char*>(const_cast<void*>(ptr)) - blockheader;
  size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  inuse -= size;
  std::free(block);
}

// Empties the library's error stack into one line, each reason once (the
// stack can hold the same error many times over), and adds the system's
// reason where the library failed on the file itself; "" if it was empty.
std::string takeerrors(int syserr) {
  std::vector<ILenum> seen;
  std::string text;
  bool filefault = false;
  for (ILenum e = ilGetError(); e != IL_NO_ERROR; e = ilGetError()) {
    filefault |= e == IL_COULD_NOT_OPEN_FILE || e == IL_FILE_READ_ERROR || e == IL_FILE_WRITE_ERROR;
    bool repeated = false;
    for (ILenum s : seen) repeated |= s == e;
    if (repeated) continue;
    seen.push_back(e);
    if (!text.empty()) text += ", ";
    const char* s = iluErrorString(e);
    text += s ? s : "unknown error";
  }
  if (filefault && syserr != 0) text += std::string(" (") + std::strerror(syserr) + ")";
  return text;
}

// JPEG, the camera's format and every frame's, is read and written through
// the library's file interface, on memory. The library's own memory reader
// and writer move one byte at a time, which costs a few per cent of a
// camera still's whole work; these copy blocks. Reads and seeks keep the
// library's own memory semantics. Other formats are read as the library
// reads memory.
struct memoryfile {
  const unsigned char* data = nullptr;  // reading
  size_t size = 0;
  bool ranout = false;         // whether the reader asked for more than there is
  std::string* out = nullptr;  // writing
  size_t limit = 0;            // the most that may be written
  bool full = false;           // whether more was refused
  size_t at = 0;

  size_t length() const { return out ? out->size() : size; }
};

memoryfile& mem(ILHANDLE h) { return *static_cast<memoryfile*>(h); }

ILHANDLE ILAPIENTRY noopen(ILconst_string) { return nullptr; }
void ILAPIENTRY noclose(ILHANDLE) {}
ILboolean ILAPIENTRY memeof(ILHANDLE h) { return mem(h).at >= mem(h).size ? IL_TRUE : IL_FALSE; }
ILint ILAPIENTRY memgetc(ILHANDLE h) {
  memoryfile& f = mem(h);
  f.ranout |= f.at >= f.size;
  return f.at < f.size ? f.data[f.at++] : IL_EOF;
}
ILint ILAPIENTRY memread(void* buffer, ILuint size, ILuint number, ILHANDLE h) {
  memoryfile& f = mem(h);
  const size_t bytes = std::min(static_cast<size_t>(size) * number, f.size - std::min(f.at, f.size));
  f.ranout |= bytes == 0 && size != 0 && number != 0;
  std::memcpy(buffer, f.data + f.at, bytes);
  f.at += bytes;
  return size == 0 ? 0 : static_cast<ILint>(bytes / size);
}
// 0 on success, 1 past either end.
ILint ILAPIENTRY memseek(ILHANDLE h, ILint offset, ILint mode) {
  memoryfile& f = mem(h);
  const int64_t base = mode == IL_SEEK_SET   ? 0
                       : mode == IL_SEEK_CUR ? static_cast<int64_t>(f.at)
                                             : static_cast<int64_t>(f.length());
  const int64_t to = base + offset;
  if ((mode != IL_SEEK_SET && mode != IL_SEEK_CUR && mode != IL_SEEK_END) || to < 0 ||
      (!f.out && to > static_cast<int64_t>(f.size)))
    return 1;
  f.at = static_cast<size_t>(to);
  return 0;
}
ILint ILAPIENTRY memtell(ILHANDLE h) { return static_cast<ILint>(mem(h).at); }
ILint ILAPIENTRY memwrite(const void* buffer, ILuint size, ILuint number, ILHANDLE h) {
  memoryfile& f = mem(h);
  const size_t bytes = static_cast<size_t>(size) * number;
  if (bytes > f.limit || f.at > f.limit - bytes) {
    f.full = true;
    return 0;
  }
  // Nothing may be thrown through the library's C code.
  try {
    if (f.out->size() < f.at + bytes) f.out->resize(f.at + bytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  std::memcpy(&(*f.out)[f.at], buffer, bytes);
  f.at += bytes;
  return static_cast<ILint>(number);
}
ILint ILAPIENTRY memputc(ILubyte c, ILHANDLE h) {
  const char byte = static_cast<char>(c);
  return memwrite(&byte, 1, 1, h) == 1 ? c : IL_EOF;
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
  const std::string said = takeerrors(errno);
  if (reason) *reason = said.empty() ? "unknown error" : said;
  return false;
}

// As a load by name picks its loader: the extension first, then the content.
ILenum loadertype(const char* name, const void* data, size_t size) {
  const ILenum type = ilTypeFromExt(name);
  return type != IL_TYPE_UNKNOWN ? type : ilDetermineTypeL(data, static_cast<ILuint>(size));
}

}  // namespace

void initimagelibrary(size_t limit) {
  budget = limit;
  // Before ilInit, so that every block the library frees came from here.
  ilSetMemory(budgetalloc, budgetfree);
  ilInit();
  iluInit();
  watching = true;
}

void warmupimagelibrary() {
  // A tiny picture through every coder a still or a frame may need, and its
  // EXIF read. Some set themselves up on first use, reading files such as
  // /proc/cpuinfo (libjpeg-turbo does on arm64); inside a worker's sandbox
  // that would be fatal, so it happens here, before.
  ilTexImage(8, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, nullptr);
  std::string jpeg, png, reason;
  encodejpeg(1 << 20, &jpeg, &reason);
  loadimage("warmup.jpg", jpeg.data(), jpeg.size(), &reason);
  pixels reduced;
  decodejpeg(jpeg.data(), jpeg.size(), 2, 0, &reduced);
  exiforientation(jpeg.data(), jpeg.size());
  ilTexImage(8, 8, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, nullptr);
  png.resize(64 << 10);
  const ILuint written = ilSaveL(IL_PNG, png.data(), static_cast<ILuint>(png.size()));
  loadimage("warmup.png", png.data(), written, &reason);
  clearerrors();
}

loadstatus loadimage(const char* name, const void* data, size_t size, std::string* reason) {
  // A refused picture leaves its claimed size behind, which would refuse
  // every allocation of the next load too.
  if (budget != 0 && claimedbytes() > budget) ilTexImage(1, 1, 1, 1, IL_LUMINANCE, IL_UNSIGNED_BYTE, nullptr);
  refused = false;
  auto fail = [&](const char* why) {
    if (reason) *reason = why;
    return loadstatus::failed;
  };
  if (size == 0) return fail("an empty file");
  const ILenum type = loadertype(name, data, size);
  if (type == IL_TYPE_UNKNOWN) return fail(iluErrorString(IL_INVALID_EXTENSION));
  const bool jpeg = type == IL_JPG;
  // The JPEG reader's own words are codes ("jpeg library error"): its
  // faults are said plainly here.
  if (jpeg && (size < 3 || std::memcmp(data, "\xff\xd8\xff", 3) != 0)) return fail("not a JPEG file");
  memoryfile file;
  file.data = static_cast<const unsigned char*>(data);
  file.size = size;
  if (jpeg) ilSetRead(noopen, noclose, memeof, memgetc, memread, memseek, memtell);
  const bool ok =
      checked([&] { return jpeg ? ilLoadF(type, &file) : ilLoadL(type, data, static_cast<ILuint>(size)); }, reason);
  if (jpeg) ilResetRead();
  if (!ok) {
    if (jpeg && file.ranout && !refused) return fail("cut short");
    if (!refused) return loadstatus::failed;
    if (budget != 0 && claimedbytes() > budget) return loadstatus::toolarge;
    if (reason) *reason = "needs more than the " + std::to_string(budget >> 20) + " MiB a still may use";
    return loadstatus::failed;
  }
  // Scaling a palette picture would blend palette indices, not colours.
  // Camera JPEGs never have a palette; other formats with a still's name can.
  if (ilGetInteger(IL_IMAGE_FORMAT) == IL_COLOUR_INDEX &&
      !checked([] { return ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE); }, reason))
    return loadstatus::failed;
  return loadstatus::loaded;
}

imagesize currentimagesize() {
  return {static_cast<unsigned>(ilGetInteger(IL_IMAGE_WIDTH)), static_cast<unsigned>(ilGetInteger(IL_IMAGE_HEIGHT))};
}

size_t imagebudget() { return budget; }

bool loadsasjpeg(const char* name, const void* data, size_t size) {
  return size >= 3 && loadertype(name, data, size) == IL_JPG && std::memcmp(data, "\xff\xd8\xff", 3) == 0;
}

bool takepixels(pixels* out, std::string* reason) {
  const ILint format = ilGetInteger(IL_IMAGE_FORMAT);
  const ILenum plain = format == IL_LUMINANCE || format == IL_ALPHA ? IL_LUMINANCE
                       : format == IL_LUMINANCE_ALPHA               ? IL_LUMINANCE_ALPHA
                       : format == IL_RGBA || format == IL_BGRA     ? IL_RGBA
                                                                    : IL_RGB;
  if ((static_cast<ILenum>(format) != plain || ilGetInteger(IL_IMAGE_TYPE) != IL_UNSIGNED_BYTE) &&
      !checked([&] { return ilConvertImage(plain, IL_UNSIGNED_BYTE); }, reason))
    return false;
  const imagesize size = currentimagesize();
  out->width = size.width;
  out->height = size.height;
  out->channels = static_cast<unsigned>(ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL));
  const size_t row = static_cast<size_t>(size.width) * out->channels;
  const unsigned char* data = ilGetData();
  if (!data) {
    if (reason) *reason = "the image library holds no pixels";
    return false;
  }
  out->data.resize(row * size.height);
  const bool bottomup = ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_LOWER_LEFT;
  for (unsigned y = 0; y < size.height; ++y)
    std::memcpy(out->data.data() + (bottomup ? size.height - 1 - y : y) * row, data + y * row, row);
  ilTexImage(1, 1, 1, 1, IL_LUMINANCE, IL_UNSIGNED_BYTE, nullptr);
  clearerrors();
  return true;
}

bool copypixels(pixels* out, std::string* reason) {
  const imagesize size = currentimagesize();
  out->width = size.width;
  out->height = size.height;
  out->channels = 3;
  const size_t row = size_t{size.width} * 3;
  out->data.resize(row * size.height);
  // What a camera's JPEG loads as is copied straight; anything else through
  // the library's conversion, in the rows' order in memory.
  const unsigned char* data = ilGetData();
  if (ilGetInteger(IL_IMAGE_FORMAT) == IL_RGB && ilGetInteger(IL_IMAGE_TYPE) == IL_UNSIGNED_BYTE && data) {
    std::memcpy(out->data.data(), data, out->data.size());
  } else if (!checked(
                 [&] {
                   return ilCopyPixels(0, 0, 0, size.width, size.height, 1, IL_RGB, IL_UNSIGNED_BYTE,
                                       out->data.data()) != 0;
                 },
                 reason)) {
    return false;
  }
  if (ilGetInteger(IL_IMAGE_ORIGIN) == IL_ORIGIN_LOWER_LEFT)
    for (unsigned y = 0; y < size.height / 2; ++y)
      std::swap_ranges(out->data.begin() + static_cast<ptrdiff_t>(y * row),
                       out->data.begin() + static_cast<ptrdiff_t>((y + 1) * row),
                       out->data.begin() + static_cast<ptrdiff_t>((size.height - 1 - y) * row));
  return true;
}

bool putpixels(const pixels& p, std::string* reason) {
  static const ILenum formats[] = {IL_LUMINANCE, IL_LUMINANCE_ALPHA, IL_RGB, IL_RGBA};
  if (p.channels < 1 || p.channels > 4) {
    if (reason) *reason = "pixels of " + std::to_string(p.channels) + " channels";
    return false;
  }
  if (!checked(
          [&] {
            return ilTexImage(p.width, p.height, 1, static_cast<ILubyte>(p.channels), formats[p.channels - 1],
                              IL_UNSIGNED_BYTE, const_cast<unsigned char*>(p.data.data()));
          },
          reason))
    return false;
  ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);
  return true;
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

bool turnimage(int orientation, std::string* reason) {
  if (orientation < 2 || orientation > 8) return true;
  const imagesize size = currentimagesize();
  const ILint channels = ilGetInteger(IL_IMAGE_CHANNELS), format = ilGetInteger(IL_IMAGE_FORMAT),
              type = ilGetInteger(IL_IMAGE_TYPE), origin = ilGetInteger(IL_IMAGE_ORIGIN);
  const unsigned pixelbytes = static_cast<unsigned>(ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL));
  std::vector<unsigned char> turned(static_cast<size_t>(size.width) * size.height * pixelbytes);
  turnpixels(ilGetData(), size.width, size.height, pixelbytes, orientation, origin == IL_ORIGIN_LOWER_LEFT,
             turned.data());
  const bool across = turnsacross(orientation);
  if (!checked(
          [&] {
            return ilTexImage(across ? size.height : size.width, across ? size.width : size.height, 1,
                              static_cast<ILubyte>(channels), static_cast<ILenum>(format), static_cast<ILenum>(type),
                              turned.data());
          },
          reason))
    return false;
  ilRegisterOrigin(static_cast<ILenum>(origin));
  return true;
}

bool encodejpeg(size_t limit, std::string* jpeg, std::string* reason) {
  jpeg->clear();
  memoryfile file;
  file.out = jpeg;
  file.limit = limit;
  ilSetWrite(noopen, noclose, memputc, memseek, memtell, memwrite);
  clearerrors();
  errno = 0;
  // What the save returns is no verdict: the library passes its count of
  // bytes written through an 8-bit boolean, so a frame of a multiple of 256
  // bytes reads as a failure. What it wrote is: a whole JPEG is the frame.
  ilSaveF(IL_JPG, &file);
  const int syserr = errno;
  ilResetWrite();
  if (file.full) {
    *reason = "the frame takes more than " + std::to_string(limit >> 20) + " MiB";
    return false;
  }
  const std::string said = takeerrors(syserr);
  if (wholejpeg(jpeg->data(), jpeg->size())) return true;
  *reason = said.empty() ? "the JPEG writer made no whole frame" : said;
  jpeg->clear();
  return false;
}
