#include "video/render.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

extern "C" {
#include <libavutil/log.h>
}

#include "base/io.h"
#include "slide/picture.h"
#include "video/format.h"
#include "video/music.h"
#include "video/mux.h"
#include "video/pictures.h"
#include "video/transitions.h"

namespace {

// The library's messages, dropped: what fails comes back from its calls.
void quietlog(void*, int, const char*, va_list) {}

constexpr int samplesperframe = soundrate / showrate;

}  // namespace

struct renderer::state {
  renderjob job;
  frameformat format = palformat;
  frameptr title;  // composed
  muxer mux;
};

renderer::renderer(renderjob job) : s_(std::make_unique<state>()) {
  s_->job = std::move(job);
  s_->format = formatof(s_->job.size);
}

renderer::~renderer() = default;

bool renderer::prepare(std::string* why) {
  state& s = *s_;
  // The library's own chatter stays off the user's console; and its own
  // printer would ask whether standard error is a terminal, a call the
  // render's sandbox refuses.
  av_log_set_level(AV_LOG_ERROR);
  av_log_set_callback(quietlog);
  if (s.job.form == videoform::none) return *why = std::string("a video is ") + videoforms, false;
  if (s.job.frames.size() != static_cast<size_t>(s.job.show.slides()) || s.job.show.slides() == 0)
    return *why = "no slides to show", false;
  if (s.job.size != videosize::pal && s.job.pictures.size() != s.job.frames.size())
    return *why = "no pictures to show", false;
  s.title = drawtitle(titlelines(s.job.title), s.format, why);
  return s.title && s.mux.open(s.job.form, s.job.output, s.format, s.job.threads, s.job.music >= 0, why);
}

bool renderer::render(const std::function<void(int)>& progress, std::string* why, std::string* musicproblem) {
  state& s = *s_;
  const timeline& show = s.job.show;
  const int64_t samples = int64_t{show.frames()} * samplesperframe;
  std::vector<int16_t> music;
  if (s.job.music >= 0 && s.mux.hassound()) decodemusic(s.job.music, samples, &music, musicproblem);
  const soundtrack sound(std::move(music), samples, int64_t{endingframes} * samplesperframe);
  int64_t sounddone = 0;
  streamconverter converter(s.format);

  // The parts on screen: the title card, and each slide decoded once, when
  // it first comes on, and brought to the stream's layout once, when it is
  // first held.
  struct part {
    frameptr composed, streamed;
  };
  std::map<int, part> parts;
  auto picture = [&](int number) -> part* {
    auto found = parts.find(number);
    if (found != parts.end()) return &found->second;
    frameptr composed;
    if (number == 0) {
      composed.reset(av_frame_clone(s.title.get()));
      if (!composed) return *why = "out of memory", nullptr;
    } else if (s.job.size != videosize::pal) {
      // The photo's own picture, from the workers.
      const picturespan& at = s.job.pictures[static_cast<size_t>(number - 1)];
      std::string bytes(yuvbytes(at.width, at.height), '\0'), reason;
      errno = 0;
      if (!readallat(s.job.picturesource, at.offset, bytes.data(), bytes.size()))
        return *why = "cannot read picture " + std::to_string(number) +
                      (errno ? std::string(": ") + std::strerror(errno) : ""),
               nullptr;
      composed = composephoto(bytes, static_cast<int>(at.width), static_cast<int>(at.height), s.format, &reason);
      if (!composed) return *why = "cannot show picture " + std::to_string(number) + ": " + reason, nullptr;
    } else {
      const filespan& at = s.job.frames[static_cast<size_t>(number - 1)];
      std::string bytes(at.size, '\0'), reason;
      errno = 0;
      if (!readallat(s.job.source, at.offset, bytes.data(), bytes.size()))
        return *why = "cannot read frame " + std::to_string(number) +
                      (errno ? std::string(": ") + std::strerror(errno) : ""),
               nullptr;
      composed = decodeframe(bytes, s.format, &reason);
      if (!composed) return *why = "cannot decode frame " + std::to_string(number) + ": " + reason, nullptr;
    }
    return &parts.emplace(number, part{std::move(composed), nullptr}).first->second;
  };
  auto sparking = [](int number, int partframe) {
    return number == 1 && partframe >= effectfirst && partframe <= effectlast;
  };
  // What a part shows at its frame, composed: its picture, or slide 1's
  // with sparks (a new picture, into *made).
  auto shown = [&](int number, int partframe, frameptr* made) -> const AVFrame* {
    part* p = picture(number);
    if (!p || !sparking(number, partframe)) return p ? p->composed.get() : nullptr;
    *made = newpicture(s.format, composepixels);
    if (!*made || av_frame_copy(made->get(), p->composed.get()) < 0) return *why = "out of memory", nullptr;
    drawsparks(made->get(), partframe, s.format);
    return made->get();
  };

  std::unique_ptr<transition> joining;
  int heldpart = -1;
  for (int f = 0; f < show.frames(); ++f) {
    const timeline::moment m = show.at(f);
    for (auto it = parts.begin(); it != parts.end() && it->first < m.part;) it = parts.erase(it);
    // The composed picture of this frame, where it is not a part held.
    frameptr composed;
    if (m.transition()) {
      frameptr outgoing, incoming;
      const AVFrame* a = shown(m.part, m.partframe, &outgoing);
      const AVFrame* b = a ? shown(m.part + 1, m.step, &incoming) : nullptr;
      if (!b) return false;
      if (m.step == 0) {
        joining = std::make_unique<transition>();
        if (!joining->open(m.row, m.steps, s.format, why)) return false;
      }
      composed = joining->step(m.step, a, b, why);
      if (!composed) return false;
    } else if (sparking(m.part, m.partframe)) {
      if (!shown(m.part, m.partframe, &composed)) return false;
    }
    // The show's ending: the last endingframes fade to black, the last one
    // black, as the music fades to silence.
    const int left = show.frames() - 1 - f;
    if (left < endingframes) {
      if (!composed) {
        part* p = picture(m.part);
        if (!p) return false;
        composed = newpicture(s.format, composepixels);
        if (!composed || av_frame_copy(composed.get(), p->composed.get()) < 0) return *why = "out of memory", false;
      }
      fadetoblack(composed.get(), double(left) / endingframes, s.format);
    }
    frameptr streamed;
    const AVFrame* out = nullptr;
    bool settled = false;
    if (composed) {
      streamed = converter.tostream(composed.get(), why);
      out = streamed.get();
    } else {
      part* p = picture(m.part);
      if (!p) return false;
      if (!p->streamed) p->streamed = converter.tostream(p->composed.get(), why);
      out = p->streamed.get();
      settled = heldpart != m.part;
      heldpart = m.part;
    }
    if (!out) return false;
    if (!s.mux.writepicture(out, settled, why)) return false;
    // The sound up to the end of this frame.
    for (const int64_t until = int64_t{f + 1} * samplesperframe; s.mux.hassound() && sounddone < until;) {
      const int n = static_cast<int>(std::min<int64_t>(s.mux.soundframesize(), samples - sounddone));
      AVFrame* chunk = s.mux.soundframe(n);
      if (!chunk) return *why = "out of memory", false;
      sound.fill(chunk, sounddone);
      if (!s.mux.writesound(why)) return false;
      sounddone += n;
    }
    if (progress && ((f + 1) % showrate == 0 || f + 1 == show.frames())) progress(f + 1);
  }
  return s.mux.finish(why);
}
