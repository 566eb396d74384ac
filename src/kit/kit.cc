#include "kit/kit.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/io.h"
#include "kit/avi.h"
#include "kit/folder.h"
#include "kit/journal.h"
#include "kit/names.h"

namespace {

// Why name cannot be made: a folder in its way, or the reason given.
std::string inthewayof(const std::string& name, const std::string& reason) {
  return lookup(name) == entrykind::folder ? "is a folder" : reason;
}

// Takes this run's commit back after one of its moves failed, the last
// step first: a new file in place goes back to its draft's name, then an
// old file moved aside back to its own, so that every step is as it was
// before the commit began (or, where a move fails, as a commit cut short
// leaves one, for the next run to finish). Allocates only for a reason.
// False, with the name and the reason, if one cannot be.
bool takeback(const std::vector<stepnames>& steps, std::string* name, std::string* reason) {
  bool ok = true;
  auto move = [&](const std::string& from, const std::string& to, const std::string& named) {
    if (replacefile(from, to, reason)) return true;
    if (ok) *name = named;
    ok = false;
    return false;
  };
  for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
    if (lookup(s->draft) == entrykind::none && lookup(s->final) != entrykind::none &&
        !move(s->final, s->draft, s->final))
      continue;
    if (!s->aside.empty() && lookup(s->aside) != entrykind::none) move(s->aside, s->final, s->final);
  }
  return ok;
}

}  // namespace

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
    framefiles_.push_back({jpeg.size(), contenthash(jpeg.data(), jpeg.size())});
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
  uint64_t videosize = 0;
  if (video_) {
    bool written = video_->finish(&reason);
    videosize = video_->size();
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

  // What the commit will do, from what the folder holds now: the script
  // as it is on the disk (with the platform's line breaks) and each new
  // file, as the journal records them.
  plan p;
  p.scripthash = contenthashstart;
  if (!readpieces(
          draftname,
          [&](const char* data, size_t size) {
            p.scripthash = contenthash(data, size, p.scripthash);
            p.scriptsize += size;
          },
          &reason)) {
    *why = std::string(scriptname) + ": cannot read back its draft: " + reason;
    return false;
  }
  for (int slide = 1; slide <= frames_; ++slide) {
    const entrykind kind = lookup(slidename(slide));
    if (kind == entrykind::folder) {
      *why = slidename(slide) + ": cannot replace: is a folder";
      return false;
    }
    const newfile& made = framefiles_[static_cast<size_t>(slide - 1)];
    p.steps.push_back({slide, kind != entrykind::none, made.size, made.hash});
  }
  stillstamp stamp;
  const entrykind video = lookup(videoname, &stamp);
  if (video == entrykind::folder && frames_ > 0) {
    *why = std::string(videoname) + ": cannot replace: is a folder";
    return false;
  }
  if (frames_ > 0) {
    p.steps.push_back({0, video != entrykind::none, videosize, 0});
  } else if (video == entrykind::file) {
    p.oldvideo = true;
    p.oldvideosize = stamp.size;
  }
  // The frames of an earlier run beyond the new ones: the series that
  // follows them, as far as it goes.
  for (int k = frames_ + 1; k <= mostslides && lookup(slidename(k), &stamp) == entrykind::file; ++k)
    p.stale.push_back({k, stamp.size});
  if (lookup(scriptname) == entrykind::folder) {
    *why = std::string(scriptname) + ": cannot replace: is a folder";
    return false;
  }
  // Every name first: from the first move on, nothing may run out of
  // memory before the commit point.
  std::vector<stepnames> steps;
  for (const plan::step& s : p.steps) steps.push_back(namesof(s));
  reason.reserve(256);
  std::string name;
  name.reserve(64);
  if (!writejournal(p, &reason)) {
    *why = std::string(journalname) + ": cannot write: " + reason;
    return false;
  }

  // Each old file aside, each new one in place; the script last.
  bool moved = true;
  for (const stepnames& s : steps) {
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
    if (takeback(steps, &notback, &whynot) && syncfolder(&whynot) && (removefile(journalname) || errno == ENOENT)) {
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
  const bool flushed = syncfolder(&reason);
  if (!flushed) after->failed = "cannot flush the folder: " + reason;
  bool asidesleft = false;
  tidy(p, steps, after, &asidesleft);
  // Where the folder's names may not be on the disk, or an old file stays
  // moved aside, the journal stays, for the next run to finish.
  if (flushed && !asidesleft) {
    removefile(journalname);
    syncfolder(&reason);
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
    if (writedraftframename(name, sizeof name, slide)) removefile(name);
  frames_ = 0;
}
