#include "kit/avi.h"

#include <cstring>
#include <numeric>

#include "base/io.h"

namespace {

// Room in the header for the super index: one entry a RIFF, 256 GiB at
// 1 GiB a RIFF.
constexpr uint32_t superslots = 256;
constexpr uint32_t keyframe = 0x10;     // AVIIF_KEYFRAME, idx1
constexpr uint32_t hasindex = 0x10;     // AVIF_HASINDEX, avih
constexpr uint32_t indexofindexes = 0;  // indx
constexpr uint32_t indexofchunks = 1;   // ix00

// Little-endian fields, appended to a chunk's bytes.
struct bytes {
  std::string s;
  bytes& u8(uint32_t v) {
    s += static_cast<char>(v & 0xff);
    return *this;
  }
  bytes& u16(uint32_t v) { return u8(v).u8(v >> 8); }
  bytes& u32(uint32_t v) { return u16(v & 0xffff).u16(v >> 16); }
  bytes& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
  bytes& cc(const char (&fourcc)[5]) {
    s.append(fourcc, 4);
    return *this;
  }
  bytes& zeros(size_t n) {
    s.append(n, '\0');
    return *this;
  }
  // A chunk: its id, its data's size, its data (padded to an even length).
  bytes& chunk(const char (&id)[5], const std::string& data) {
    cc(id).u32(static_cast<uint32_t>(data.size()));
    s += data;
    if (data.size() % 2) s += '\0';
    return *this;
  }
  // A list whose size field says `size` (its type and what follows).
  bytes& list(const char (&id)[5], uint32_t size, const char (&type)[5]) { return cc(id).u32(size).cc(type); }
};

uint32_t u32of(uint64_t v) { return static_cast<uint32_t>(v); }

// The first RIFF's header up to and with the head of its movi list.
struct headervalues {
  framesize size{};
  uint64_t riffsize = 4;  // what the RIFF's size field says
  uint64_t movisize = 4;
  uint32_t firstframes = 0;  // frames in the first RIFF (avih)
  uint32_t frames = 0;       // in the whole file (strh, dmlh)
  uint32_t largest = 0;
  const std::string* superindex = nullptr;  // entries, or none: then JUNK
  uint32_t superentries = 0;
};

std::string header(const headervalues& v) {
  bytes avih;
  avih.u32(1000000 / framerate)
      .u32(v.largest * framerate)
      .u32(0)
      .u32(hasindex)
      .u32(v.firstframes)
      .u32(0)
      .u32(1)
      .u32(v.largest)
      .u32(v.size.width)
      .u32(v.size.height)
      .zeros(16);
  bytes strh;
  strh.cc("vids")
      .cc("MJPG")
      .u32(0)
      .u16(0)
      .u16(0)
      .u32(0)
      .u32(1)
      .u32(framerate)
      .u32(0)
      .u32(v.frames)
      .u32(v.largest)
      .u32(0xffffffff)
      .u32(0)
      .u16(0)
      .u16(0)
      .u16(v.size.width)
      .u16(v.size.height);
  bytes strf;
  strf.u32(40)
      .u32(v.size.width)
      .u32(v.size.height)
      .u16(1)
      .u16(24)
      .cc("MJPG")
      .u32(v.size.width * v.size.height * 3)
      .u32(0)
      .u32(0)
      .u32(0)
      .u32(0);
  bytes indx;
  if (v.superindex) {
    indx.u16(4).u8(0).u8(indexofindexes).u32(v.superentries).cc("00dc").zeros(12);
    indx.s += *v.superindex;
  }
  indx.s.resize(24 + 16 * superslots, '\0');
  // Video properties: the frame's shape on the screen (4:3 for the kit's
  // PAL frame), which AVI can say only here; one progressive field, all of
  // it valid.
  const uint32_t shownwidth = v.size.width * static_cast<uint32_t>(v.size.aspectx);
  const uint32_t shownheight = v.size.height * static_cast<uint32_t>(v.size.aspecty);
  const uint32_t common = std::gcd(shownwidth, shownheight);
  bytes vprp;
  vprp.u32(0)
      .u32(0)
      .u32(framerate)
      .u32(v.size.width)
      .u32(v.size.height)
      .u16(shownheight / common)
      .u16(shownwidth / common)
      .u32(v.size.width)
      .u32(v.size.height)
      .u32(1)
      .u32(v.size.height)
      .u32(v.size.width)
      .u32(v.size.height)
      .u32(v.size.width)
      .zeros(16);
  bytes dmlh;
  dmlh.u32(v.frames).zeros(244);

  bytes strl;
  strl.chunk("strh", strh.s).chunk("strf", strf.s).chunk(v.superindex ? "indx" : "JUNK", indx.s).chunk("vprp", vprp.s);
  bytes odml;
  odml.chunk("dmlh", dmlh.s);
  bytes hdrl;
  hdrl.chunk("avih", avih.s).list("LIST", u32of(4 + strl.s.size()), "strl");
  hdrl.s += strl.s;
  hdrl.list("LIST", u32of(4 + odml.s.size()), "odml");
  hdrl.s += odml.s;
  bytes out;
  out.list("RIFF", u32of(v.riffsize), "AVI ").list("LIST", u32of(4 + hdrl.s.size()), "hdrl");
  out.s += hdrl.s;
  out.list("LIST", u32of(v.movisize), "movi");
  return out.s;
}

}  // namespace

aviwriter::aviwriter(int fd, framesize size, uint64_t limit) : fd_(fd), size_(size), limit_(limit) {
  headervalues v;
  v.size = size_;
  const std::string head = header(v);
  movistart_ = head.size() - 12;
  std::string ignored;  // kept in error_
  append(head, &ignored);
}

bool aviwriter::append(const std::string& data, std::string* reason) {
  if (error_.empty()) {
    if (const int error = writeall(fd_, data.data(), data.size())) error_ = std::strerror(error);
    at_ += data.size();
  }
  *reason = error_;
  return error_.empty();
}

bool aviwriter::patch(uint64_t at, const std::string& data, std::string* reason) {
  int error = seekto(fd_, at);
  if (error == 0) error = writeall(fd_, data.data(), data.size());
  if (error == 0) error = seekto(fd_, at_);
  if (error != 0 && error_.empty()) error_ = std::strerror(error);
  *reason = error_;
  return error_.empty();
}

bool aviwriter::addframe(const std::string& jpeg, std::string* reason) {
  if (!error_.empty()) {
    *reason = error_;
    return false;
  }
  const uint64_t chunk = 8 + jpeg.size() + jpeg.size() % 2;
  // What the RIFF would hold with this frame, its indexes included.
  const size_t n = riff_.size() + 1;
  const uint64_t indexes = (32 + 8 * n) + (firstclosed_ ? 0 : 8 + 16 * n);
  if (!riff_.empty() && (at_ - riffstart_) + chunk + indexes > limit_) {
    if (super_.size() == superslots) {
      *reason = "larger than " + std::to_string(superslots) + " RIFFs can hold";
      return false;
    }
    if (!closeriff(true, reason)) return false;
    riffstart_ = at_;
    movistart_ = at_ + 12;
    bytes next;
    next.list("RIFF", 0, "AVIX").list("LIST", 0, "movi");
    if (!append(next.s, reason)) return false;
  }
  riff_.push_back({at_, static_cast<uint32_t>(jpeg.size())});
  bytes head;
  head.cc("00dc").u32(static_cast<uint32_t>(jpeg.size()));
  if (!append(head.s, reason) || !append(jpeg, reason) || (jpeg.size() % 2 && !append(std::string(1, '\0'), reason)))
    return false;
  if (jpeg.size() > largest_) largest_ = static_cast<uint32_t>(jpeg.size());
  spans_.push_back({riff_.back().offset + 8, riff_.back().size});
  return true;
}

bool aviwriter::closeriff(bool opendml, std::string* reason) {
  if (opendml) {
    bytes ix;
    ix.u16(2).u8(0).u8(indexofchunks).u32(u32of(riff_.size())).cc("00dc").u64(riffstart_).u32(0);
    for (const entry& e : riff_) ix.u32(u32of(e.offset + 8 - riffstart_)).u32(e.size);
    bytes chunk;
    chunk.chunk("ix00", ix.s);
    super_.push_back({at_, u32of(chunk.s.size()), u32of(riff_.size())});
    if (!append(chunk.s, reason)) return false;
  }
  const uint64_t movisize = at_ - (movistart_ + 8);
  if (!firstclosed_) {
    bytes idx1;
    for (const entry& e : riff_) idx1.cc("00dc").u32(keyframe).u32(u32of(e.offset - (movistart_ + 8))).u32(e.size);
    bytes chunk;
    chunk.chunk("idx1", idx1.s);
    if (!append(chunk.s, reason)) return false;
    firstframes_ = static_cast<int>(riff_.size());
    firstmovisize_ = movisize;
    firstriffsize_ = at_ - 8;
    firstclosed_ = true;
  } else {
    bytes sizes;
    sizes.u32(u32of(at_ - (riffstart_ + 8)));
    bytes movi;
    movi.u32(u32of(movisize));
    if (!patch(riffstart_ + 4, sizes.s, reason) || !patch(movistart_ + 4, movi.s, reason)) return false;
  }
  riff_.clear();
  return true;
}

bool aviwriter::finish(std::string* reason) {
  if (!error_.empty()) {
    *reason = error_;
    return false;
  }
  if (!closeriff(!super_.empty(), reason)) return false;
  bytes entries;
  for (const superentry& e : super_) entries.u64(e.offset).u32(e.size).u32(e.frames);
  headervalues v;
  v.size = size_;
  v.riffsize = firstriffsize_;
  v.movisize = firstmovisize_;
  v.firstframes = static_cast<uint32_t>(firstframes_);
  v.frames = static_cast<uint32_t>(spans_.size());
  v.largest = largest_;
  if (!super_.empty()) {
    v.superindex = &entries.s;
    v.superentries = u32of(super_.size());
  }
  return patch(0, header(v), reason);
}
