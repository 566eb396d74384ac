#include "worker/renderwire.h"

#include <cstring>
#include <iterator>

#include "base/text.h"
#include "slide/picture.h"

const char videoforms[] = ".mp4, .mkv (H.264) or .mpg (MPEG-2 for a DVD)";

videoform videoformof(std::string_view file) {
  const size_t dot = file.rfind('.');
  const size_t slash = file.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return videoform::none;
  std::string ext(file.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == "mp4"   ? videoform::mp4
         : ext == "mkv" ? videoform::mkv
         : ext == "mpg" ? videoform::mpg
                        : videoform::none;
}

namespace {

constexpr uint32_t hasmusic = 1, haspictures = 2, hasmotion = 4;

void put32(std::string* out, uint32_t v) { out->append(reinterpret_cast<const char*>(&v), sizeof v); }
void put64(std::string* out, uint64_t v) { out->append(reinterpret_cast<const char*>(&v), sizeof v); }

// Reads what the body holds, front to back; false once it runs out.
struct reader {
  std::string_view rest;
  template <typename T>
  bool take(T* v) {
    if (rest.size() < sizeof *v) return false;
    std::memcpy(v, rest.data(), sizeof *v);
    rest.remove_prefix(sizeof *v);
    return true;
  }
  bool take(size_t n, std::string* text) {
    if (rest.size() < n) return false;
    text->assign(rest.substr(0, n));
    rest.remove_prefix(n);
    return true;
  }
};

}  // namespace

std::string encoderequest(const renderrequest& r) {
  std::string body;
  put32(&body, static_cast<uint32_t>(r.form));
  put32(&body, static_cast<uint32_t>(r.size));
  put32(&body, static_cast<uint32_t>(r.threads));
  put32(&body, static_cast<uint32_t>(r.spans.size()));
  put32(&body, static_cast<uint32_t>(r.title.size()));
  put32(&body, static_cast<uint32_t>(r.musicname.size()));
  const bool pictures = r.size != videosize::pal || r.motion;
  put32(&body, (r.music >= 0 ? hasmusic : 0) | (pictures ? haspictures : 0) | (r.motion ? hasmotion : 0));
  for (const int row : r.rows) body += static_cast<char>(row);
  for (const filespan& s : r.spans) put64(&body, s.offset), put32(&body, s.size);
  if (pictures)
    for (const picturespan& p : r.pictures) put64(&body, p.offset), put32(&body, p.width), put32(&body, p.height);
  if (r.motion)
    for (const slidemotion& m : r.motions) body += static_cast<char>(m.how), body += static_cast<char>(m.direction);
  body += r.title;
  body += r.musicname;
  std::string out;
  put32(&out, requestmagic);
  put32(&out, static_cast<uint32_t>(body.size()));
  return out + body;
}

bool decoderequest(std::string_view bytes, renderrequest* r, size_t* descriptors, std::string* why) {
  reader in{bytes};
  uint32_t magic = 0, size = 0, form = 0, frame = 0, threads = 0, slides = 0, titlesize = 0, musicsize = 0, has = 0;
  if (!in.take(&magic) || magic != requestmagic) return *why = "not a render request", false;
  if (!in.take(&size) || size != in.rest.size() || size > requestlimit) return *why = "a request cut short", false;
  if (!in.take(&form) || !in.take(&frame) || !in.take(&threads) || !in.take(&slides) || !in.take(&titlesize) ||
      !in.take(&musicsize) || !in.take(&has))
    return *why = "a request cut short", false;
  if (form >= static_cast<uint32_t>(videoform::none)) return *why = "no such form", false;
  if (frame >= std::size(framesizes) || (form == static_cast<uint32_t>(videoform::mpg) && frame != 0))
    return *why = "no such size", false;
  if (threads < 1 || threads > threadlimit) return *why = "too many threads", false;
  if (slides < 1 || slides > slidelimit) return *why = "no slides, or too many", false;
  if (titlesize > titlelimit || musicsize > musicnamelimit) return *why = "a name too long", false;
  const bool motion = (has & hasmotion) != 0, pictures = frame != 0 || motion;
  if ((has & ~(hasmusic | haspictures | hasmotion)) != 0 || ((has & haspictures) != 0) != pictures)
    return *why = "the wrong descriptors", false;
  // What the counts say must be exactly what follows.
  if (in.rest.size() !=
      (slides - 1) + uint64_t{slides} * (12 + (pictures ? 16 : 0) + (motion ? 2 : 0)) + titlesize + musicsize)
    return *why = "a request of the wrong length", false;
  r->form = static_cast<videoform>(form);
  r->size = static_cast<videosize>(frame);
  r->threads = static_cast<int>(threads);
  r->rows.assign(slides - 1, 0);
  for (int& row : r->rows) {
    uint8_t v = 0;
    in.take(&v);
    if (v < 1 || v > 23) return *why = "no transition " + std::to_string(v), false;
    row = v;
  }
  r->spans.assign(slides, {});
  for (filespan& s : r->spans) {
    in.take(&s.offset);
    in.take(&s.size);
    if (s.size < 1 || s.size > framebytes || s.offset > UINT64_MAX - s.size)
      return *why = "a frame out of bounds", false;
  }
  r->pictures.assign(pictures ? slides : 0, {});
  const framesize& target = framesizes[frame];
  for (picturespan& p : r->pictures) {
    uint32_t w = 0, h = 0;
    in.take(&p.offset);
    in.take(&w);
    in.take(&h);
    p.width = w, p.height = h;
    if (w < 1 || h < 1 || w > 2 * target.width || h > 2 * target.height || yuvbytes(w, h) > picturelimit ||
        p.offset > UINT64_MAX - yuvbytes(w, h))
      return *why = "a picture out of bounds", false;
  }
  r->motion = motion;
  r->motions.assign(motion ? slides : 0, {});
  for (slidemotion& m : r->motions) {
    uint8_t how = 0, direction = 0;
    in.take(&how);
    in.take(&direction);
    if (how >= motionkinds || direction >= motiondirections) return *why = "no such motion", false;
    m = {static_cast<slidemotion::kind>(how), direction};
  }
  in.take(titlesize, &r->title);
  in.take(musicsize, &r->musicname);
  *descriptors = 2 + ((has & hasmusic) != 0) + pictures;
  r->music = (has & hasmusic) != 0 ? 0 : -1;  // the descriptors' order, until they are in
  return true;
}

std::string encodereport(const renderreport& report) {
  std::string line(1, static_cast<char>(report.what));
  if (report.what == renderreport::kind::progress || report.what == renderreport::kind::forbidden) {
    line += std::to_string(report.number);
  } else {
    // One line, and no longer than a line may be.
    for (const char c : report.text.substr(0, reportlimit - 2)) line += c == '\n' || c == '\r' ? ' ' : c;
  }
  return line + '\n';
}

reportparse decodereport(std::string* pending, renderreport* report) {
  const size_t end = pending->find('\n');
  if (end == std::string::npos)
    return pending->size() >= reportlimit ? reportparse::malformed : reportparse::incomplete;
  if (end >= reportlimit || end == 0) return reportparse::malformed;
  const std::string_view line(pending->data(), end);
  const char what = line[0];
  const std::string_view text = line.substr(1);
  renderreport r;
  switch (what) {
    case 'P':
    case 'F':
      if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return reportparse::malformed;
      r.what = static_cast<renderreport::kind>(what);
      r.number = std::stoull(std::string(text));
      break;
    case 'M':
    case 'E':
      r.what = static_cast<renderreport::kind>(what);
      r.text = escapedname(text);
      break;
    default: return reportparse::malformed;
  }
  *report = std::move(r);
  pending->erase(0, end + 1);
  return reportparse::complete;
}
