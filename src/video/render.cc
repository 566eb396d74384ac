#include "video/render.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "base/io.h"
#include "slide/picture.h"
#include "video/format.h"
#include "video/framequeue.h"
#include "video/motion.h"
#include "video/music.h"
#include "video/mux.h"
#include "video/pictures.h"
#include "video/sampler.h"
#include "video/transitions.h"

namespace {

// The library's messages, dropped: what fails comes back from its calls.
void quietlog(void*, int, const char*, va_list) {}

constexpr int samplesperframe = soundrate / showrate;

// Frames made ahead of the encoder: enough to keep it fed through most of
// a transition's slower frames, within 48 MiB of pictures.
size_t queuedframes(const frameformat& format) {
  const size_t bytes = size_t{3} * format.width * format.height / 2;
  return std::clamp<size_t>((size_t{48} << 20) / bytes, 2, 16);
}

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
  if (s.job.spans.size() != static_cast<size_t>(s.job.show.slides()) || s.job.show.slides() == 0)
    return *why = "no slides to show", false;
  if ((s.job.size != videosize::pal || s.job.motion) && s.job.pictures.size() != s.job.spans.size())
    return *why = "no pictures to show", false;
  if (s.job.motion && s.job.motions.size() != s.job.spans.size()) return *why = "no motion to show", false;
  s.title = drawtitle(titlelines(s.job.title), s.format, why);
  return s.title && s.mux.open(s.job.form, s.job.output, s.format, s.job.threads, s.job.motion, s.job.music >= 0, why);
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
  // first held; or, where slides move, its picture kept, to be drawn afresh
  // into its box for every frame.
  struct part {
    frameptr composed, streamed;
    bool moving = false;
    yuvpicture photo;
    slidemotion motion;
    int boxwidth = 0, boxheight = 0, left = 0, top = 0;
  };
  std::map<int, part> parts;
  sampler sampling;
  const bool pictures = s.job.size != videosize::pal || s.job.motion;
  // What the making of the frames met, where it failed (it runs on a
  // thread of its own, below).
  std::string makingwhy;
  auto readpicture = [&](int number, std::string* bytes) {
    const picturespan& at = s.job.pictures[static_cast<size_t>(number - 1)];
    bytes->assign(yuvbytes(at.width, at.height), '\0');
    errno = 0;
    if (readallat(s.job.picturesource, at.offset, bytes->data(), bytes->size())) return true;
    makingwhy =
        "cannot read picture " + std::to_string(number) + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
  };
  auto picture = [&](int number) -> part* {
    auto found = parts.find(number);
    if (found != parts.end()) return &found->second;
    part made;
    std::string reason;
    if (number == 0) {
      made.composed.reset(av_frame_clone(s.title.get()));
      if (!made.composed) return makingwhy = "out of memory", nullptr;
    } else if (s.job.motion) {
      // The photo's picture, a margin larger than its box, in which the
      // box's window moves.
      const picturespan& at = s.job.pictures[static_cast<size_t>(number - 1)];
      made.moving = true;
      made.photo.width = static_cast<int>(at.width), made.photo.height = static_cast<int>(at.height);
      if (!readpicture(number, &made.photo.bytes)) return nullptr;
      made.motion = s.job.motions[static_cast<size_t>(number - 1)];
      const picturesize box =
          boxof(at.width, at.height, static_cast<unsigned>(s.format.width), static_cast<unsigned>(s.format.height));
      made.boxwidth = static_cast<int>(box.width), made.boxheight = static_cast<int>(box.height);
      // On even rows and columns, so that the stream's chroma lies on the
      // box's own grid.
      made.left = (s.format.width - made.boxwidth) / 2 & ~1, made.top = (s.format.height - made.boxheight) / 2 & ~1;
    } else if (pictures) {
      // The photo's own picture, from the workers.
      const picturespan& at = s.job.pictures[static_cast<size_t>(number - 1)];
      std::string bytes;
      if (!readpicture(number, &bytes)) return nullptr;
      made.composed = composephoto(bytes, static_cast<int>(at.width), static_cast<int>(at.height), s.format, &reason);
      if (!made.composed) return makingwhy = "cannot show picture " + std::to_string(number) + ": " + reason, nullptr;
    } else {
      const filespan& at = s.job.spans[static_cast<size_t>(number - 1)];
      std::string bytes(at.size, '\0');
      errno = 0;
      if (!readallat(s.job.source, at.offset, bytes.data(), bytes.size()))
        return makingwhy = "cannot read frame " + std::to_string(number) +
                           (errno ? std::string(": ") + std::strerror(errno) : ""),
               nullptr;
      made.composed = decodeframe(bytes, s.format, &reason);
      if (!made.composed) return makingwhy = "cannot decode frame " + std::to_string(number) + ": " + reason, nullptr;
    }
    return &parts.emplace(number, std::move(made)).first->second;
  };
  // A moving part at its frame, drawn into a picture of that layout, black
  // around its box.
  picturepool composedpool(s.format, composepixels), streampool(s.format, streampixels);
  auto drawmoving = [&](int number, part* p, int partframe, AVPixelFormat pixels) -> frameptr {
    frameptr drawn = (pixels == streampixels ? streampool : composedpool).take();
    if (!drawn) return makingwhy = "out of memory", nullptr;
    blackenoutside(drawn.get(), p->left, p->top, p->boxwidth, p->boxheight, s.format);
    const double t = partframe / std::max(1.0, show.hold(number) - 1.0);
    sampling.draw(p->photo, windowat(p->motion, t, p->photo.width, p->photo.height), drawn.get(), p->left, p->top,
                  p->boxwidth, p->boxheight);
    return drawn;
  };
  auto sparking = [](int number, int partframe) {
    return number == 1 && partframe >= effectfirst && partframe <= effectlast;
  };
  // What a part shows at its frame, composed: its picture, slide 1's with
  // sparks, or a moving slide's (a new picture, into *made).
  auto shown = [&](int number, int partframe, frameptr* made) -> const AVFrame* {
    part* p = picture(number);
    if (!p) return nullptr;
    if (p->moving) {
      *made = drawmoving(number, p, partframe, composepixels);
    } else if (sparking(number, partframe)) {
      *made = newpicture(s.format, composepixels);
      if (!*made || av_frame_copy(made->get(), p->composed.get()) < 0) return makingwhy = "out of memory", nullptr;
    } else {
      return p->composed.get();
    }
    if (*made && sparking(number, partframe)) drawsparks(made->get(), partframe, s.format);
    return made->get();
  };

  // Frame f of the show, as the encoder takes it.
  std::unique_ptr<transition> joining;
  int heldpart = -1;
  auto makeframe = [&](int f, madeframe* made) -> bool {
    const timeline::moment m = show.at(f);
    for (auto it = parts.begin(); it != parts.end() && it->first < m.part;) it = parts.erase(it);
    part* current = picture(m.part);
    if (!current) return false;
    const int left = show.frames() - 1 - f;
    // The composed picture of this frame, where it is not a part held.
    frameptr composed;
    if (m.transition()) {
      frameptr outgoing, incoming;
      const AVFrame* a = shown(m.part, m.partframe, &outgoing);
      const AVFrame* b = a ? shown(m.part + 1, m.step, &incoming) : nullptr;
      if (!b) return false;
      if (m.step == 0) {
        joining = std::make_unique<transition>();
        if (!joining->open(m.row, m.steps, s.format, &makingwhy)) return false;
      }
      composed = joining->step(m.step, a, b, &makingwhy);
      if (!composed) return false;
    } else if (sparking(m.part, m.partframe)) {
      if (!shown(m.part, m.partframe, &composed)) return false;
    }
    frameptr& out = made->picture;
    if (composed) {
      // The show's ending: the last endingframes fade to black, the last
      // one black, as the music fades to silence.
      if (left < endingframes) fadetoblack(composed.get(), double(left) / endingframes, s.format);
      out = converter.tostream(composed.get(), &makingwhy);
    } else if (current->moving) {
      // A moving slide alone: drawn straight in the stream's layout.
      out = drawmoving(m.part, current, m.partframe, streampixels);
      if (out && left < endingframes) fadetoblack(out.get(), double(left) / endingframes, s.format);
      made->settled = heldpart != m.part;
      heldpart = m.part;
    } else {
      if (!current->streamed) current->streamed = converter.tostream(current->composed.get(), &makingwhy);
      if (!current->streamed) return false;
      if (left < endingframes) {
        out = newpicture(s.format, streampixels);
        if (!out || av_frame_copy(out.get(), current->streamed.get()) < 0) return makingwhy = "out of memory", false;
        fadetoblack(out.get(), double(left) / endingframes, s.format);
      } else {
        out.reset(av_frame_clone(current->streamed.get()));
        if (!out) return makingwhy = "out of memory", false;
      }
      made->settled = heldpart != m.part;
      heldpart = m.part;
    }
    return out != nullptr;
  };

  // The frames are made on a thread of their own, a few ahead of the
  // encoder, which takes them here with the sound up to each.
  framequeue frames(queuedframes(s.format));
  std::thread maker([&] {
    try {
      for (int f = 0; f < show.frames(); ++f) {
        madeframe made;
        if (!makeframe(f, &made)) {
          if (makingwhy.empty()) makingwhy = "out of memory";
          break;
        }
        if (!frames.push(std::move(made))) break;
      }
    } catch (const std::bad_alloc&) {
      makingwhy = "out of memory";
    }
    frames.close();
  });
  // However this thread leaves, the maker is stopped and waited for.
  struct stopper {
    framequeue& frames;
    std::thread& maker;
    ~stopper() {
      frames.stop();
      maker.join();
    }
  } stopped{frames, maker};
  bool written = true;
  for (int f = 0; f < show.frames() && written; ++f) {
    madeframe made;
    if (!frames.pop(&made)) {
      *why = makingwhy;
      written = false;
      break;
    }
    written = s.mux.writepicture(made.picture.get(), made.settled, why);
    // The sound up to the end of this frame.
    for (const int64_t until = int64_t{f + 1} * samplesperframe; written && s.mux.hassound() && sounddone < until;) {
      const int n = static_cast<int>(std::min<int64_t>(s.mux.soundframesize(), samples - sounddone));
      AVFrame* chunk = s.mux.soundframe(n);
      if (!chunk) {
        *why = "out of memory", written = false;
        break;
      }
      sound.fill(chunk, sounddone);
      written = s.mux.writesound(why);
      sounddone += n;
    }
    if (written && progress && ((f + 1) % showrate == 0 || f + 1 == show.frames())) progress(f + 1);
  }
  if (!written) return false;
  return s.mux.finish(why);
}
