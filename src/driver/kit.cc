#include "driver/kit.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "driver/folder.h"
#include "script/script.h"
#include "slide/slide.h"

const char draftname[] = ".anim.avs.new";

namespace {

// Why name cannot be made: a folder in its way, or the reason given.
std::string inthewayof(const std::string& name, const std::string& reason) {
  return lookup(name) == entrykind::folder ? "is a folder" : reason;
}

}  // namespace

std::string draftframename(int slide) { return "." + slidename(slide) + ".new"; }

bool isdraftframe(std::string_view name) {
  constexpr std::string_view head = ".out", tail = ".jpg.new";
  if (name.size() < head.size() + 4 + tail.size() || name.substr(0, head.size()) != head ||
      name.substr(name.size() - tail.size()) != tail)
    return false;
  for (const char c : name.substr(head.size(), name.size() - head.size() - tail.size()))
    if (c < '0' || c > '9') return false;
  return true;
}

kit::~kit() {
  if (!committed_) abandon();
}

bool kit::begin(std::string* why) {
  if (lookup(scriptname) == entrykind::folder) {
    *why = std::string(scriptname) + ": cannot create: is a folder";
    return false;
  }
  std::string reason;
  const int fd = createtext(draftname, &reason);
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
    return true;
  } else if (lookup(draft) == entrykind::folder) {
    reason = "its draft " + draft + " is a folder";
  }
  *why = frame + ": cannot save: " + reason;
  return false;
}

bool kit::commit(std::string* why, bool* replaced) {
  *replaced = false;
  rows_ = drawrowsnow(frames_);
  writescript(script_.stream(), frames_, rows_, options_);
  if (!script_.close()) {
    *why = std::string(scriptname) + ": cannot write: " + script_.error();
    return false;
  }
  // Every name first: once the first frame is in place, nothing may run
  // out of memory before the last.
  std::vector<std::pair<std::string, std::string>> moves;
  moves.reserve(static_cast<size_t>(frames_));
  for (int slide = 1; slide <= frames_; ++slide) moves.emplace_back(draftframename(slide), slidename(slide));
  std::string reason;
  reason.reserve(256);
  for (const auto& [from, to] : moves) {
    if (!replacefile(from, to, &reason)) {
      *why = to + ": cannot replace: " + inthewayof(to, reason);
      return false;
    }
    *replaced = true;
  }
  if (!replacefile(draftname, scriptname, &reason)) {
    *why = std::string(scriptname) + ": cannot replace: " + inthewayof(scriptname, reason);
    return false;
  }
  committed_ = true;
  return true;
}

void kit::abandon() noexcept {
  try {
    script_.close();
  } catch (...) {
  }
  if (open_) removefile(draftname);
  open_ = false;
  // Names made on the stack: there may be no memory for any other.
  char name[32];
  for (int slide = 1; slide <= frames_; ++slide) {
    std::snprintf(name, sizeof name, ".out%04d.jpg.new", slide);
    removefile(name);
  }
  frames_ = 0;
}
