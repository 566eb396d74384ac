#include "worker/wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/text.h"
#include "slide/picture.h"
#include "slide/slide.h"
#include "worker/sandbox.h"

namespace {

// The states a reply may carry are exactly the slidestates, numbered from 0.
constexpr slidestate wirestates[] = {slidestate::framed, slidestate::unloadable, slidestate::toolarge,
                                     slidestate::unscalable, slidestate::unencodable};
constexpr bool numberedinorder() {
  for (uint32_t i = 0; i < std::size(wirestates); ++i)
    if (static_cast<uint32_t>(wirestates[i]) != i) return false;
  return true;
}
static_assert(numberedinorder(), "a reply's state is a slidestate's number");
constexpr uint32_t statecount = std::size(wirestates);
static_assert(forbiddenstate >= statecount, "the sandbox's note must not look like a slidestate");

}  // namespace

std::string encodereply(const slideresult& result) {
  const replyheader h{replymagic,
                      static_cast<uint32_t>(result.state),
                      result.width,
                      result.height,
                      static_cast<uint32_t>(std::min(result.reason.size(), reasonlimit)),
                      static_cast<uint32_t>(std::min(result.jpeg.size(), framelimit + 1)),
                      result.picturewidth,
                      result.pictureheight,
                      static_cast<uint32_t>(std::min(result.picture.size(), picturelimit + 1))};
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(result.reason, 0, h.reasonsize);
  out.append(result.jpeg, 0, h.jpegsize);
  out.append(result.picture, 0, h.picturesize);
  return out;
}

replyparse decodereply(const std::string& buffer, slideresult* result, size_t* used) {
  if (buffer.size() < sizeof(replyheader)) return replyparse::incomplete;
  replyheader h;
  std::memcpy(&h, buffer.data(), sizeof h);
  if (h.magic != replymagic) return replyparse::malformed;
  if (h.state == forbiddenstate) {
    if (h.height != 0 || h.reasonsize != 0 || h.jpegsize != 0 || h.picturewidth != 0 || h.pictureheight != 0 ||
        h.picturesize != 0)
      return replyparse::malformed;
    const std::string call = syscallname(h.width);
    *result = slideresult{};
    result->reason = forbiddenreason + (call.empty() ? "" : " (" + call + ")");
    *used = sizeof h;
    return replyparse::last;
  }
  if (h.state >= statecount || h.reasonsize > reasonlimit || h.jpegsize > framelimit) return replyparse::malformed;
  const auto state = static_cast<slidestate>(h.state);
  if ((state == slidestate::framed) != (h.jpegsize > 0)) return replyparse::malformed;
  // A picture only with a frame, of exactly its size's bytes.
  const bool picture = h.picturesize > 0;
  if (picture ? state != slidestate::framed || h.picturesize > picturelimit || h.picturewidth == 0 ||
                    h.pictureheight == 0 || h.picturesize != yuvbytes(h.picturewidth, h.pictureheight)
              : h.picturewidth != 0 || h.pictureheight != 0)
    return replyparse::malformed;
  const size_t total = sizeof h + h.reasonsize + h.jpegsize + h.picturesize;
  if (buffer.size() < total) return replyparse::incomplete;
  const char* jpeg = buffer.data() + sizeof h + h.reasonsize;
  if (h.jpegsize > 0 && !wholejpeg(jpeg, h.jpegsize)) return replyparse::malformed;
  result->state = state;
  result->width = h.width;
  result->height = h.height;
  result->reason = printable(buffer.substr(sizeof h, h.reasonsize));
  result->jpeg.assign(jpeg, h.jpegsize);
  result->picturewidth = h.picturewidth;
  result->pictureheight = h.pictureheight;
  result->picture.assign(jpeg + h.jpegsize, h.picturesize);
  *used = total;
  return replyparse::complete;
}
