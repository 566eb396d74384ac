// The wire between the driver and a worker: the job the driver sends and
// the reply the worker sends back. Both ends are the same program on the
// same machine, so integers travel in the machine's own byte order.
//
// A job (driver to worker):
//   u64  size      the still's length in bytes, at most stillfilelimit
//   u64  namesize  the length of its name, at most namelimit
//   namesize bytes the still's name (it picks the image loader)
// and the still itself, which the process layer hands over its own way
// (subprocess.h): an open descriptor passed beside the header on POSIX.
//
// A reply (worker to driver), one per job, nothing before or after it:
//   u32  magic       replymagic, "vant"
//   u32  state       a slidestate (0 ... 4), or forbiddenstate
//   u32  width       as loaded (for toolarge: as claimed); for
//                    forbiddenstate, the number of the forbidden call
//   u32  height
//   u32  reasonsize  at most reasonlimit
//   u32  jpegsize    at most framelimit (slide.h); not 0 exactly when
//                    state is framed, and then the bytes are one whole
//                    JPEG, from its start marker to its end marker
//   u32  picturewidth, pictureheight   the picture's size, where a video
//                    asked for one (slide.h's picturewish), else 0
//   u32  picturesize exactly yuvbytes of that size (picture.h), at most
//                    picturelimit; 0 where there is no picture, and there is
//                    none unless state is framed
//   reasonsize bytes why the still failed, in words
//   jpegsize bytes   the frame
//   picturesize bytes the picture
// A worker whose sandbox is ending it sends a last reply of forbiddenstate
// with no reason and no frame, and nothing after it.
//
// The driver trusts nothing a worker sends: decodereply refuses whatever a
// sound worker does not send, and cuts reasons down to printable ASCII.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "slide/slide.h"

// The bounds of the wire, in one place.
constexpr size_t stillfilelimit = size_t{256} << 20;
// What a worker holds for one still: the image library's budget (slide.h)
// and the still's bytes beside it. The pool counts workers by it, and a
// worker's memory limit is it and the worker's own headroom.
constexpr uint64_t stillfootprint = uint64_t{librarybudget} + stillfilelimit;
constexpr size_t namelimit = 4096;

// The reason a worker gives for a still when memory ran out on it.
constexpr char outofmemory[] = "out of memory";
constexpr size_t reasonlimit = 1024;

constexpr uint32_t replymagic = 0x76616e74;  // "vant"
constexpr uint32_t forbiddenstate = 100;
// What a still costs whose worker the sandbox ended.
constexpr char forbiddenreason[] = "the image library attempted a forbidden operation";

struct jobheader {
  uint64_t size;
  uint64_t namesize;
};

struct replyheader {
  uint32_t magic;
  uint32_t state;
  uint32_t width;
  uint32_t height;
  uint32_t reasonsize;
  uint32_t jpegsize;
  uint32_t picturewidth;
  uint32_t pictureheight;
  uint32_t picturesize;
};

// The largest reply a sound worker sends.
constexpr size_t replylimit = sizeof(replyheader) + reasonlimit + framelimit + picturelimit;

// A reply for the result; a reason or frame over its bound is cut to the
// bound (and a frame so cut is then refused by the driver).
std::string encodereply(const slideresult& result);

// The note a worker sends when its sandbox ends it: the forbidden call's
// number. Fixed in size and made without allocating, for a signal handler.
inline replyheader forbiddennote(long syscall) {
  return replyheader{replymagic, forbiddenstate, static_cast<uint32_t>(syscall), 0, 0, 0, 0, 0, 0};
}

// Takes the first reply off the front of buffer: incomplete while more
// bytes are needed, malformed for anything a sound worker does not send,
// and last for the note of a worker that its sandbox is ending (a complete
// reply, and its last). *used is the reply's length.
enum class replyparse { incomplete, complete, last, malformed };
replyparse decodereply(const std::string& buffer, slideresult* result, size_t* used);
