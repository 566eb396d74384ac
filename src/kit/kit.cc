#include "kit/kit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

#include "base/io.h"
#include "kit/avi.h"
#include "kit/folder.h"
#include "kit/names.h"

namespace {

// Why name cannot be made: a folder in its way, or the reason given.
std::string inthewayof(const std::string& name, const std::string& reason) {
  return lookup(name) == entrykind::folder ? "is a folder" : reason;
}

// The most slides a journal may speak of: far beyond any folder's stills,
// and small enough that no number in it overflows.
constexpr int mostslides = 100000000;
constexpr size_t journallimit = size_t{64} << 20;
constexpr char journalhead[] = "vantrel kit commit";

// What a commit does, as its journal says it.
struct plan {
  int frames = 0;          // the new frames, 1 ... frames
  std::vector<int> old;    // frames whose old file is moved aside
  bool video = false;      // whether the new kit has a video
  bool oldvideo = false;   // whether an old one is there: moved aside, or removed with no new one
  std::vector<int> stale;  // frames of an earlier run numbered beyond the new ones
};

// One file put in place: its draft, its name and where the old one goes
// ("" where there is none).
struct step {
  std::string draft, final, aside;
};

std::vector<step> stepsof(const plan& p) {
  std::vector<step> steps;
  steps.reserve(static_cast<size_t>(p.frames) + 1);
  size_t next = 0;
  for (int slide = 1; slide <= p.frames; ++slide) {
    const bool old = next < p.old.size() && p.old[next] == slide;
    next += old;
    steps.push_back({draftframename(slide), slidename(slide), old ? asidename(slidename(slide)) : ""});
  }
  if (p.video) steps.push_back({draftvideoname, videoname, p.oldvideo ? asidename(videoname) : ""});
  return steps;
}

std::string journaltext(const plan& p) {
  std::ostringstream out;
  out << journalhead << "\nframes " << p.frames << "\nvideo " << p.video << "\noldvideo " << p.oldvideo << '\n';
  for (const int k : p.old) out << "old " << k << '\n';
  for (const int k : p.stale) out << "stale " << k << '\n';
  out << "end\n";
  return out.str();
}

// A journal's plan; false for anything but a whole journal as a run writes
// it (one cut short in its writing: the commit never began).
bool readjournal(const std::string& text, plan* p) {
  std::istringstream in(text);
  std::string line, word;
  if (!std::getline(in, line) || line != journalhead) return false;
  auto flag = [&](const char* name, bool* value) {
    int v = -1;
    if (!std::getline(in, line)) return false;
    std::istringstream l(line);
    if (!(l >> word >> v) || word != name || (v != 0 && v != 1) || !(l >> std::ws).eof()) return false;
    *value = v == 1;
    return true;
  };
  {
    if (!std::getline(in, line)) return false;
    std::istringstream l(line);
    if (!(l >> word >> p->frames) || word != "frames" || p->frames < 0 || p->frames > mostslides) return false;
  }
  if (!flag("video", &p->video) || !flag("oldvideo", &p->oldvideo) || p->video != (p->frames > 0)) return false;
  while (std::getline(in, line)) {
    if (line == "end") return in.peek() == std::char_traits<char>::eof();
    std::istringstream l(line);
    int k = 0;
    if (!(l >> word >> k) || !(l >> std::ws).eof()) return false;
    if (word == "old" && k >= 1 && k <= p->frames && (p->old.empty() || k > p->old.back()))
      p->old.push_back(k);
    else if (word == "stale" && k > p->frames && k <= mostslides && (p->stale.empty() || k > p->stale.back()))
      p->stale.push_back(k);
    else
      return false;
  }
  return false;
}

// Whether the folder's names are on the disk: flushes it, where the file
// system can.
bool flushed(std::string* reason) { return syncfolder(reason); }

// Puts the old kit back, from whatever point of the commit: each old file
// moved aside goes back to its name, and a new file with no old one under
// its name goes (if its draft is gone, it was put there). Allocates only
// for a reason. False, with the name and the reason, if one cannot be.
bool putback(const std::vector<step>& steps, std::string* name, std::string* reason) {
  bool ok = true;
  for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
    if (!s->aside.empty()) {
      if (lookup(s->aside) != entrykind::none && !replacefile(s->aside, s->final, reason) && ok) {
        *name = s->final;
        ok = false;
      }
    } else if (lookup(s->draft) == entrykind::none && lookup(s->final) == entrykind::file && !removefile(s->final) &&
               errno != ENOENT && ok) {
      *name = s->final;
      *reason = std::strerror(errno);
      ok = false;
    }
  }
  return ok;
}

// Finishes a commit past its commit point: every new file in place, the
// old ones gone. The first file that cannot be removed, and why, go to
// *failed, and *asidesleft says whether a moved-aside file stays (then the
// journal must too).
void tidy(const plan& p, const std::vector<step>& steps, kit::tidied* after, bool* asidesleft) {
  *asidesleft = false;
  std::string reason;
  for (const step& s : steps) {
    if (lookup(s.draft) != entrykind::none) replacefile(s.draft, s.final, &reason);
    if (!s.aside.empty() && !removefile(s.aside) && errno != ENOENT) {
      *asidesleft = true;
      if (after->failed.empty()) after->failed = "cannot remove " + s.aside + ": " + std::strerror(errno);
    }
  }
  std::vector<int> removed;
  for (const int k : p.stale) {
    if (removefile(slidename(k))) {
      removed.push_back(k);
    } else if (errno != ENOENT) {
      if (after->failed.empty())
        after->failed = "cannot remove " + slidename(k) + ", a frame of an earlier run: " + std::strerror(errno);
      break;
    }
  }
  if (!removed.empty()) {
    const std::string from = slidename(removed.front()), to = slidename(removed.back());
    const size_t n = removed.size();
    after->removed.push_back(n == 1   ? "removed " + from + ", a frame of an earlier run"
                             : n == 2 ? "removed " + from + " and " + to + ", frames of an earlier run"
                                      : "removed " + from + " ... " + to + ", " + std::to_string(n) +
                                            " frames of an earlier run");
  }
  if (p.oldvideo && !p.video) {
    if (removefile(videoname))
      after->removed.push_back(std::string("removed ") + videoname + ", the video of an earlier run");
    else if (errno != ENOENT && after->failed.empty())
      after->failed =
          std::string("cannot remove ") + videoname + ", the video of an earlier run: " + std::strerror(errno);
  }
}

// Removes the drafts a plan's steps name, and the script's.
void removedrafts(const std::vector<step>& steps) {
  for (const step& s : steps) removefile(s.draft);
  removefile(draftname);
}

// Writes the journal whole and flushes it with the folder.
bool writejournal(const plan& p, std::string* reason) {
  const std::string text = journaltext(p);
  const int fd = createfile(journalname, false, reason);
  if (fd < 0) return false;
  int error = writeall(fd, text.data(), text.size());
  if (error == 0) error = syncfile(fd);
  const int closed = closefile(fd);
  if (error == 0) error = closed;
  if (error != 0) {
    *reason = std::strerror(error);
    removefile(journalname);
    return false;
  }
  return flushed(reason);
}

}  // namespace

finished finishcommit(std::string* why) {
  if (lookup(journalname) == entrykind::none) return finished::nothing;
  std::string text, reason;
  if (!readsmallfile(journalname, journallimit, &text, &reason)) {
    *why = std::string(journalname) + ": cannot read: " + reason;
    return finished::failed;
  }
  plan p;
  if (!readjournal(text, &p)) {
    // Cut short while it was written: nothing of the old kit was touched.
    if (!removefile(journalname) && errno != ENOENT) {
      *why = std::string(journalname) + ": cannot remove: " + std::strerror(errno);
      return finished::failed;
    }
    return finished::rolledback;
  }
  const std::vector<step> steps = stepsof(p);
  // The script's draft goes only by becoming the script: the commit point.
  if (lookup(draftname) == entrykind::none) {
    kit::tidied after;
    bool asidesleft = false;
    tidy(p, steps, &after, &asidesleft);
    if (asidesleft) {
      *why = after.failed;
      return finished::failed;
    }
    if (!flushed(&reason) || (!removefile(journalname) && errno != ENOENT)) {
      *why = std::string(journalname) + ": cannot remove: " + (reason.empty() ? std::strerror(errno) : reason);
      return finished::failed;
    }
    return finished::rolledforward;
  }
  std::string name;
  if (!putback(steps, &name, &reason)) {
    *why = name + ": cannot put back: " + reason;
    return finished::failed;
  }
  // The journal goes before the drafts: without the script's draft, a
  // journal would read as a commit past its commit point.
  if (!flushed(&reason) || (!removefile(journalname) && errno != ENOENT)) {
    *why = std::string(journalname) + ": cannot remove: " + (reason.empty() ? std::strerror(errno) : reason);
    return finished::failed;
  }
  removedrafts(steps);
  return finished::rolledback;
}

kit::kit(framesize size) : size_(size) {}

kit::~kit() {
  if (!committed_) abandon();
}

bool kit::begin(std::string* why) {
  if (lookup(scriptname) == entrykind::folder) {
    *why = std::string(scriptname) + ": cannot create: is a folder";
    return false;
  }
  std::string reason;
  const int fd = createfile(draftname, true, &reason);
  if (fd < 0) {
    *why = std::string(scriptname) + ": cannot create: " +
           (lookup(draftname) == entrykind::folder ? std::string("its draft ") + draftname + " is a folder" : reason);
    return false;
  }
  script_.adopt(fd);
  open_ = true;
  return true;
}

bool kit::addframe(int slide, const std::string& jpeg, std::string* why) {
  const std::string frame = slidename(slide);
  std::string reason;
  // The old frame of that number stays until the kit is committed; what
  // stands in its place must be one that a frame can replace.
  const std::string draft = draftframename(slide);
  if (lookup(frame) == entrykind::folder) {
    reason = "is a folder";
  } else if (writeframe(draft, jpeg, &reason)) {
    ++frames_;
    if (!video_) {
      videofd_ = createfile(draftvideoname, false, &reason);
      if (videofd_ < 0) {
        *why = std::string(videoname) + ": cannot create: " + reason;
        return false;
      }
      video_ = std::make_unique<aviwriter>(videofd_, size_);
    }
    if (video_->addframe(jpeg, &reason)) return true;
    *why = std::string(videoname) + ": cannot save: " + reason;
    return false;
  } else if (lookup(draft) == entrykind::folder) {
    reason = "its draft " + draft + " is a folder";
  }
  *why = frame + ": cannot save: " + reason;
  return false;
}

bool kit::commit(const std::string& script, std::string* why, tidied* after) {
  script_.stream() << script;
  if (!script_.close()) {
    *why = std::string(scriptname) + ": cannot write: " + script_.error();
    return false;
  }
  std::string reason;
  if (video_) {
    bool written = video_->finish(&reason);
    if (written) {
      if (const int error = syncfile(videofd_)) {
        reason = std::strerror(error);
        written = false;
      }
    }
    const int closed = closefile(videofd_);
    videofd_ = -1;
    if (written && closed != 0) {
      reason = std::strerror(closed);
      written = false;
    }
    if (!written) {
      *why = std::string(videoname) + ": cannot save: " + reason;
      return false;
    }
  }

  // What the commit will do, from what the folder holds now.
  plan p;
  p.frames = frames_;
  p.video = frames_ > 0;
  for (int slide = 1; slide <= frames_; ++slide) {
    const entrykind kind = lookup(slidename(slide));
    if (kind == entrykind::folder) {
      *why = slidename(slide) + ": cannot replace: is a folder";
      return false;
    }
    if (kind != entrykind::none) p.old.push_back(slide);
  }
  const entrykind video = lookup(videoname);
  if (video == entrykind::folder && p.video) {
    *why = std::string(videoname) + ": cannot replace: is a folder";
    return false;
  }
  p.oldvideo = video == entrykind::file || (p.video && video != entrykind::none);
  // The frames of an earlier run beyond the new ones: the series that
  // follows them, as far as it goes.
  for (int k = frames_ + 1; k <= mostslides && lookup(slidename(k)) == entrykind::file; ++k) p.stale.push_back(k);
  if (lookup(scriptname) == entrykind::folder) {
    *why = std::string(scriptname) + ": cannot replace: is a folder";
    return false;
  }
  // Every name first: from the first move on, nothing may run out of
  // memory before the commit point.
  const std::vector<step> steps = stepsof(p);
  reason.reserve(256);
  std::string name;
  name.reserve(64);
  if (!writejournal(p, &reason)) {
    *why = std::string(journalname) + ": cannot write: " + reason;
    return false;
  }

  // Each old file aside, each new one in place; the script last.
  bool moved = true;
  for (const step& s : steps) {
    if ((!s.aside.empty() && !replacefile(s.final, s.aside, &reason)) || !replacefile(s.draft, s.final, &reason)) {
      name = s.final;
      moved = false;
      break;
    }
  }
  if (moved && !replacefile(draftname, scriptname, &reason)) {
    name = scriptname;
    moved = false;
  }
  if (!moved) {
    const std::string cause = reason;
    std::string notback, whynot;
    if (putback(steps, &notback, &whynot) && flushed(&whynot) && (removefile(journalname) || errno == ENOENT)) {
      *why = name + ": cannot replace: " + inthewayof(name, cause);
    } else {
      *why = name + ": cannot replace: " + inthewayof(name, cause) + "; and " +
             (notback.empty() ? std::string("the folder") : notback) + " cannot be put back: " + whynot;
      after->failed = "the next run puts the old kit back";
      journalleft_ = true;
    }
    return false;
  }
  committed_ = true;
  open_ = false;
  if (video_) videospans_ = video_->spans();
  video_.reset();

  // Past the commit point: the new kit is the folder's.
  bool asidesleft = false;
  if (!flushed(&reason)) {
    after->failed = "cannot flush the folder: " + reason;
    asidesleft = true;  // the journal stays, for the next run to finish
  }
  tidy(p, steps, after, &asidesleft);
  if (!asidesleft) {
    removefile(journalname);
    flushed(&reason);
  }
  return true;
}

void kit::abandon() noexcept {
  try {
    script_.close();
  } catch (...) {
  }
  video_.reset();
  if (videofd_ >= 0) closefile(videofd_);
  videofd_ = -1;
  // What a journal still speaks of stays for the run that finishes it.
  if (journalleft_) return;
  if (open_) {
    removefile(draftname.c_str());
    removefile(draftvideoname.c_str());
  }
  open_ = false;
  // Names made on the stack: there may be no memory for any other.
  char name[48];
  for (int slide = 1; slide <= frames_; ++slide)
    if (writeslidename(name, sizeof name, slide, ".", ".new")) removefile(name);
  frames_ = 0;
}
