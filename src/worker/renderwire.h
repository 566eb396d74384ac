// The wire between vantrel and its render program (vantrel-render): the
// request vantrel sends once, and the reports the render sends back. Both
// ends are built together for the same machine, so integers travel in the
// machine's own byte order. The render's channel is a Unix stream socket,
// its descriptor renderchannel.
//
// The request (vantrel to the render), sent once, the descriptors passed
// beside its header (SCM_RIGHTS): the kit's video, where the frames lie;
// the output, a new empty file open for reading and writing; the music,
// where there is some; the pictures, for a size other than PAL.
//   u32  magic      requestmagic, "vrnd"
//   u32  size       the body's length, at most requestlimit
// the body:
//   u32  form       a videoform (0 mp4, 1 mkv, 2 mpg)
//   u32  size       a videosize (base/frame.h: 0 pal, 1 720p, 2 1080p,
//                   3 2160p); only pal for mpg
//   u32  threads    the encoder's threads, 1 ... threadlimit
//   u32  slides     1 ... slidelimit
//   u32  titlesize  at most titlelimit
//   u32  musicsize  the music's name for messages, at most namelimit
//   u32  has        1: music; 4: motion; 2: pictures, exactly where size is
//                   not pal or there is motion
//   slides - 1 bytes   the rows of the transitions into slides 2 ... N,
//                      each 1 ... 23
//   slides x (u64 offset, u32 size)   where each frame lies in the kit's
//                      video; size 1 ... framebytes
//   with pictures, slides x (u64 offset, u32 width, u32 height)   where
//                      each slide's picture lies in the pictures' file, and
//                      its size: at most twice the frame's each way, its
//                      bytes yuvbytes (slide/picture.h), at most picturelimit
//   with motion, slides x (u8 kind, u8 direction)   how each slide moves
//                      (script/timeline.h's slidemotion)
//   titlesize bytes, musicsize bytes
//
// The reports (the render to vantrel), lines of at most reportlimit bytes,
// each a letter and its text:
//   P<frames>   the frames done so far, rising, at most the show's
//   M<why>      the music cannot be used: the video goes on silent
//   E<why>      the video cannot be made
//   F<number>   the render's sandbox ends it for this system call
// vantrel trusts nothing the render sends: decodereport refuses whatever a
// sound render does not send, and cuts texts down to printable text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/frame.h"
#include "base/io.h"
#include "script/timeline.h"

// The forms a video may take, by its file's extension.
enum class videoform : uint32_t { mp4, mkv, mpg, none };
videoform videoformof(std::string_view file);
// The forms, in words, for a usage message.
extern const char videoforms[];  // ".mp4, .mkv (H.264) or .mpg (MPEG-2 for a DVD)"

// The render's end of its socket, as vantrel starts it.
constexpr int renderchannel = 3;

// The bounds of the wire, in one place.
constexpr uint32_t requestmagic = 0x76726e64;  // "vrnd"
constexpr uint32_t slidelimit = 1000000;
constexpr uint32_t threadlimit = 256;
constexpr size_t titlelimit = 64 << 10;
constexpr size_t musicnamelimit = 4096;
constexpr uint32_t framebytes = 64 << 20;
constexpr size_t requestlimit = 7 * 4 + slidelimit * (1 + 12 + 16 + 2) + titlelimit + musicnamelimit;
constexpr size_t reportlimit = 1024;

// Where a slide's picture lies, and its size.
struct picturespan {
  uint64_t offset;
  unsigned width, height;
};

// What vantrel asks of the render.
struct renderrequest {
  videoform form = videoform::mp4;
  videosize size = videosize::pal;
  int threads = 1;
  std::vector<int> rows;              // slides - 1 of them
  std::vector<filespan> spans;        // where each slide's frame lies in the kit's video
  std::vector<picturespan> pictures;  // one a slide, for a size other than pal or with motion
  bool motion = false;
  std::vector<slidemotion> motions;  // one a slide, with motion
  std::string title;
  std::string musicname;
  // The descriptors: the kit's video, the output, the music and the
  // pictures' file (or -1).
  int source = -1, output = -1, music = -1, picturesource = -1;
};

// The request's bytes, without its descriptors; and the request from them,
// with how many descriptors it says come beside it (the descriptors in
// *request are left as they are), false with *why for anything vantrel does
// not send.
std::string encoderequest(const renderrequest& request);
bool decoderequest(std::string_view bytes, renderrequest* request, size_t* descriptors, std::string* why);

// Sends the request's header on sock with its descriptors: 0, or the errno
// of the failure. The rest of its bytes go to *rest, for the caller to write
// as the socket takes them. Receives one, with its descriptors (which the
// caller then owns): false with *why, in words, for anything else.
int sendrequest(int sock, const renderrequest& request, std::string* rest);
bool receiverequest(int sock, renderrequest* request, std::string* why);

struct renderreport {
  enum class kind : char { progress = 'P', music = 'M', failure = 'E', forbidden = 'F' } what = kind::failure;
  uint64_t number = 0;  // progress: frames done; forbidden: the call's number
  std::string text;     // music, failure: why
};

// A report as its line, its text cut to fit and ended with a line break.
std::string encodereport(const renderreport& report);
// Takes the first whole line off the front of *pending: incomplete while
// more bytes are needed, malformed for anything a sound render does not
// send (an unknown letter, a number that is not one, a line over
// reportlimit).
enum class reportparse { incomplete, complete, malformed };
reportparse decodereport(std::string* pending, renderreport* report);
