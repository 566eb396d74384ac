#include "kit/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/io.h"
#include "kit/folder.h"
#include "kit/names.h"

uint64_t contenthash(const char* data, size_t size, uint64_t hash) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211u;
  return hash;
}

stepnames namesof(const plan::step& step) {
  stepnames names;
  names.draft = step.slide > 0 ? draftframename(step.slide) : draftvideoname;
  names.final = step.slide > 0 ? slidename(step.slide) : videoname;
  if (step.old) names.aside = asidename(names.final);
  return names;
}

namespace {

constexpr char journalhead[] = "vantrel kit journal";
constexpr size_t hashdigits = 16;

std::string hex(uint64_t value) {
  char text[hashdigits + 1];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// A line's words, split at single spaces; false for an empty word (two
// spaces, one at either end).
bool wordsof(std::string_view line, std::vector<std::string_view>* words) {
  words->clear();
  for (size_t at = 0;;) {
    const size_t space = line.find(' ', at);
    words->push_back(line.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at));
    if (words->back().empty()) return false;
    if (space == std::string_view::npos) return true;
    at = space + 1;
  }
}

// A number as the journal writes it: decimal, no sign, no leading zero.
bool numberof(std::string_view word, uint64_t most, uint64_t* value) {
  if (word.empty() || word.size() > 20 || (word.size() > 1 && word[0] == '0')) return false;
  uint64_t v = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (most - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool hashof(std::string_view word, uint64_t* value) {
  if (word.size() != hashdigits) return false;
  uint64_t v = 0;
  for (const char c : word) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint64_t>(digit);
  }
  *value = v;
  return true;
}

// Whether a piece of text could be the start of a journal's line: what a
// journal cut short in its writing ends in.
bool couldstartaline(std::string_view piece) {
  if (piece.size() > 64) return false;
  for (const char c : piece)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ')) return false;
  return true;
}

}  // namespace

std::string journaltext(const plan& p) {
  std::string text = std::string(journalhead) + "\n";
  text += "script " + std::to_string(p.scriptsize) + " " + hex(p.scripthash) + "\n";
  for (const plan::step& s : p.steps) {
    if (s.slide > 0)
      text += "frame " + std::to_string(s.slide) + " " + std::to_string(s.size) + " " + hex(s.hash);
    else
      text += "video " + std::to_string(s.size);
    text += s.old ? " old\n" : "\n";
  }
  for (const plan::staleframe& f : p.stale)
    text += "stale " + std::to_string(f.slide) + " " + std::to_string(f.size) + "\n";
  if (p.oldvideo) text += "oldvideo " + std::to_string(p.oldvideosize) + "\n";
  return text + "end\n";
}

journalread readjournal(std::string_view text, plan* p, std::string* why) {
  *p = plan();
  // Where the lines are: 0 the head, 1 the script, 2 the frames, 3 the
  // video, 4 the stale frames, 5 the old video.
  int part = 0;
  std::vector<std::string_view> words;
  size_t line = 0;
  auto unusable = [&](const std::string& what) {
    *why = "line " + std::to_string(line) + ": " + what;
    return journalread::unusable;
  };
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ++line;
    if (end == std::string_view::npos) {
      const std::string_view piece = text.substr(at);
      if (part == 0)
        return std::string_view(journalhead).substr(0, piece.size()) == piece ? journalread::cutshort
                                                                              : unusable("not the head of a journal");
      return couldstartaline(piece) ? journalread::cutshort : unusable("not a line of a journal");
    }
    const std::string_view now = text.substr(at, end - at);
    at = end + 1;
    if (part == 0) {
      if (now != journalhead) return unusable("not the head of a journal");
      part = 1;
      continue;
    }
    if (now == "end") {
      if (part < 2) return unusable("no script");
      if (!p->steps.empty() && p->steps.back().slide != 0) return unusable("frames and no video");
      if (at != text.size()) return unusable("more after its end");
      return journalread::whole;
    }
    if (!wordsof(now, &words)) return unusable("not a line of a journal");
    const std::string_view word = words[0];
    const size_t n = words.size();
    uint64_t number = 0, size = 0, hash = 0;
    if (word == "script" && part == 1 && n == 3 && numberof(words[1], UINT64_MAX, &size) && hashof(words[2], &hash)) {
      p->scriptsize = size;
      p->scripthash = hash;
      part = 2;
    } else if (word == "frame" && part == 2 && (n == 4 || (n == 5 && words[4] == "old")) &&
               numberof(words[1], mostslides, &number) && numberof(words[2], UINT64_MAX, &size) &&
               hashof(words[3], &hash)) {
      if (number != p->steps.size() + 1) return unusable("frame " + std::to_string(number) + " out of order");
      p->steps.push_back({static_cast<int>(number), n == 5, size, hash});
    } else if (word == "video" && part == 2 && !p->steps.empty() && (n == 2 || (n == 3 && words[2] == "old")) &&
               numberof(words[1], UINT64_MAX, &size)) {
      p->steps.push_back({0, n == 3, size, 0});
      part = 3;
    } else if (word == "stale" && (part == 3 || (part == 2 && p->steps.empty()) || part == 4) && n == 3 &&
               numberof(words[1], mostslides, &number) && numberof(words[2], UINT64_MAX, &size)) {
      const uint64_t after = p->stale.empty() ? p->steps.size() - (part > 2) : p->stale.back().slide;
      if (number <= after) return unusable("stale frame " + std::to_string(number) + " out of order");
      p->stale.push_back({static_cast<int>(number), size});
      part = 4;
    } else if (word == "oldvideo" && p->steps.empty() && part >= 2 && part <= 4 && n == 2 &&
               numberof(words[1], UINT64_MAX, &size)) {
      p->oldvideo = true;
      p->oldvideosize = size;
      part = 5;
    } else {
      return unusable("not a line of a journal");
    }
  }
  return journalread::cutshort;
}

bool writejournal(const plan& p, std::string* reason) {
  const std::string text = journaltext(p);
  if (text.size() > journallimit) {
    *reason = "too many frames for one commit";
    return false;
  }
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
  return syncfolder(reason);
}

std::string namelist(const std::vector<std::string>& names) {
  // Each name as its text before its first number, the number, and the rest.
  struct parts {
    std::string_view head, tail;
    long number = -1;
  };
  auto split = [](std::string_view name) {
    parts p{name, "", -1};
    const size_t digit = name.find_first_of("0123456789");
    if (digit == std::string_view::npos) return p;
    const size_t after = std::min(name.find_first_not_of("0123456789", digit), name.size());
    if (after - digit > 9) return p;
    p.head = name.substr(0, digit);
    p.tail = name.substr(after);
    p.number = std::stol(std::string(name.substr(digit, after - digit)));
    return p;
  };
  std::vector<std::string> pieces;
  for (size_t i = 0; i < names.size();) {
    const parts first = split(names[i]);
    size_t j = i + 1;
    for (parts next; j < names.size() && first.number >= 0 &&
                     (next = split(names[j])).number == first.number + long(j - i) && next.head == first.head &&
                     next.tail == first.tail;)
      ++j;
    if (j - i >= 3) {
      pieces.push_back(names[i] + " ... " + names[j - 1]);
    } else {
      for (size_t k = i; k < j; ++k) pieces.push_back(names[k]);
    }
    i = j;
  }
  std::string line;
  for (size_t i = 0; i < pieces.size(); ++i)
    line += (i == 0 ? "" : i + 1 == pieces.size() ? " and " : ", ") + pieces[i];
  return line;
}

bool tidy(const plan& p, const std::vector<stepnames>& names, tidied* after, bool* asidesleft,
          const std::function<bool()>& interrupted) {
  *asidesleft = false;
  auto stop = [&] { return interrupted && interrupted(); };
  std::string reason;
  for (const stepnames& s : names) {
    if (stop()) return false;
    if (lookup(s.draft) != entrykind::none) {
      if (replacefile(s.draft, s.final, &reason)) {
        after->placed.push_back(s.final);
      } else {
        *asidesleft = true;  // the journal stays, for the next run to finish
        if (after->failed.empty()) after->failed = "cannot put " + s.final + " in place: " + reason;
      }
    }
    if (s.aside.empty()) continue;
    if (removefile(s.aside)) {
      after->asides.push_back(s.aside);
    } else if (errno != ENOENT) {
      *asidesleft = true;
      if (after->failed.empty()) after->failed = "cannot remove " + s.aside + ": " + std::strerror(errno);
    }
  }
  std::vector<int> removed;
  for (const plan::staleframe& f : p.stale) {
    if (stop()) return false;
    if (removefile(slidename(f.slide))) {
      removed.push_back(f.slide);
    } else if (errno != ENOENT) {
      if (after->failed.empty())
        after->failed = "cannot remove " + slidename(f.slide) + ", a frame of an earlier run: " + std::strerror(errno);
      break;
    }
  }
  if (!removed.empty()) {
    std::vector<std::string> frames;
    for (const int k : removed) frames.push_back(slidename(k));
    const size_t n = removed.size();
    after->removed.push_back("removed " + namelist(frames) +
                             (n == 1   ? ", a frame of an earlier run"
                              : n == 2 ? ", frames of an earlier run"
                                       : ", " + std::to_string(n) + " frames of an earlier run"));
  }
  if (p.oldvideo) {
    if (stop()) return false;
    if (removefile(videoname))
      after->removed.push_back(std::string("removed ") + videoname + ", the video of an earlier run");
    else if (errno != ENOENT && after->failed.empty())
      after->failed =
          std::string("cannot remove ") + videoname + ", the video of an earlier run: " + std::strerror(errno);
  }
  return true;
}

namespace {

// Whether a file is the one a step (or the script) made: a regular file of
// its size, and where the hash is taken, of its hash. unreadable, with
// *reason, where its bytes could not be read.
enum class likeness { same, different, unreadable };
likeness compare(const std::string& name, uint64_t size, const uint64_t* hash, std::string* reason) {
  stillstamp stamp;
  if (lookup(name, &stamp) != entrykind::file || stamp.size != size) return likeness::different;
  if (!hash) return likeness::same;
  uint64_t read = contenthashstart;
  if (!readpieces(
          name, [&](const char* data, size_t n) { read = contenthash(data, n, read); }, reason))
    return likeness::unreadable;
  return read == *hash ? likeness::same : likeness::different;
}

// What taking a commit back does, as checked: each a rename, a new file
// back to its draft's name or an old one back from aside to its own.
struct action {
  enum class kind { takeback, putback } what;
  std::string from, to;
};

// The reasons a check gives.
struct verdict {
  enum class kind { good, unusable, unreadable, interrupted } how = kind::good;
  std::string why;
};

class finisher {
 public:
  finisher(const plan& p, const std::function<bool()>& interrupted) : p_(p), interrupted_(interrupted) {
    for (const plan::step& s : p_.steps) names_.push_back(namesof(s));
  }

  // Before the commit point: what takes each step back to where it began,
  // its new file under its draft's name again and its old one, if any,
  // under its own, where every step is as the commit leaves one: not begun
  // (or taken back), its old file moved aside, or done. In the order they
  // are to be done: the last step first.
  verdict checkback(std::vector<action>* actions) {
    verdict v = script(draftname);
    for (size_t i = p_.steps.size(); i-- > 0 && v.how == verdict::kind::good;) {
      const plan::step& s = p_.steps[i];
      const stepnames& n = names_[i];
      const bool draft = lookup(n.draft) != entrykind::none, final = lookup(n.final) != entrykind::none,
                 aside = s.old && lookup(n.aside) != entrykind::none;
      if (draft && !aside && final == s.old) continue;
      if (draft && aside && !final) {
        actions->push_back({action::kind::putback, n.aside, n.final});
      } else if (!draft && final && aside == s.old) {
        if ((v = made(s, n.final)).how != verdict::kind::good) break;
        actions->push_back({action::kind::takeback, n.final, n.draft});
        if (s.old) actions->push_back({action::kind::putback, n.aside, n.final});
      } else if (s.old && !aside) {
        v = unusable(n.aside + ", the old " + n.final + " moved aside, is not there");
      } else if (!final && !draft) {
        v = unusable("neither " + n.final + " nor its draft " + n.draft + " is there");
      } else {
        v = unusable(n.final + " is there, where the commit found no file and has not put one");
      }
    }
    return v;
  }

  // After it: what finishes the new kit, where every new file is in place
  // or under its draft as the journal describes it, and what goes is as
  // the commit found it.
  verdict checkforward() {
    verdict v = script(scriptname);
    for (size_t i = 0; i < p_.steps.size() && v.how == verdict::kind::good; ++i) {
      const stepnames& n = names_[i];
      v = made(p_.steps[i], lookup(n.draft) != entrykind::none ? n.draft : n.final);
    }
    for (size_t i = 0; i < p_.stale.size() && v.how == verdict::kind::good; ++i)
      v = found(slidename(p_.stale[i].slide), p_.stale[i].size);
    if (p_.oldvideo && v.how == verdict::kind::good) v = found(videoname, p_.oldvideosize);
    return v;
  }

  const std::vector<stepnames>& names() const { return names_; }

 private:
  verdict unusable(const std::string& why) { return {verdict::kind::unusable, why}; }

  // Whether the file is the one the step made.
  verdict made(const plan::step& s, const std::string& name) {
    if (interrupted_ && interrupted_()) return {verdict::kind::interrupted, ""};
    std::string reason;
    switch (compare(name, s.size, s.slide > 0 ? &s.hash : nullptr, &reason)) {
      case likeness::same: return {};
      case likeness::different: return unusable(name + " is not the file the commit made");
      case likeness::unreadable: break;
    }
    return {verdict::kind::unreadable, name + ": cannot read: " + reason};
  }

  // Whether the script (its draft, or itself) is the commit's.
  verdict script(const std::string& name) {
    std::string reason;
    switch (compare(name, p_.scriptsize, &p_.scripthash, &reason)) {
      case likeness::same: return {};
      case likeness::different: return unusable(name + " is not the script the commit made");
      case likeness::unreadable: break;
    }
    return {verdict::kind::unreadable, name + ": cannot read: " + reason};
  }

  // Whether a file that goes is absent, or as the commit found it.
  verdict found(const std::string& name, uint64_t size) {
    stillstamp stamp;
    const entrykind kind = lookup(name, &stamp);
    if (kind == entrykind::none || (kind == entrykind::file && stamp.size == size)) return {};
    return unusable(name + " is not the file the commit found there");
  }

  const plan& p_;
  const std::function<bool()>& interrupted_;
  std::vector<stepnames> names_;
};

}  // namespace

recovery finishcommit(const std::function<bool()>& interrupted) {
  recovery r;
  auto fail = [&](recovery::outcome how, const std::string& why) {
    r.how = how;
    r.why = why;
    return r;
  };
  // The journal goes last, once the folder holds what the finished commit
  // leaves (and the drafts, which the journal's absence would let a run
  // take for a commit past its commit point, after it).
  auto endjournal = [&](recovery::outcome how) {
    std::string reason;
    if (!syncfolder(&reason) || (!removefile(journalname) && errno != ENOENT) || !syncfolder(&reason)) {
      fail(recovery::outcome::failed,
           std::string(journalname) + ": cannot remove: " + (reason.empty() ? std::strerror(errno) : reason));
      return false;
    }
    r.how = how;
    return true;
  };

  stillstamp stamp;
  const entrykind kind = lookup(journalname, &stamp);
  if (kind == entrykind::none) return r;
  std::string text, why, reason;
  plan p;
  if (kind != entrykind::file) {
    why = "not a regular file";
  } else if (stamp.size > journallimit) {
    why = "larger than any journal (" + std::to_string(stamp.size >> 20) + " MiB)";
  } else if (!readsmallfile(journalname, journallimit, &text, &reason)) {
    return fail(recovery::outcome::failed, std::string(journalname) + ": cannot read: " + reason);
  } else {
    switch (readjournal(text, &p, &why)) {
      case journalread::whole: break;
      case journalread::cutshort:
        // Cut short while it was written: nothing was moved.
        if (endjournal(recovery::outcome::rolledback))
          r.lines.push_back(std::string("removed ") + journalname + ", which it had not finished writing");
        return r;
      case journalread::unusable: break;
    }
  }

  finisher finish(p, interrupted);
  verdict v;
  std::vector<action> actions;
  const entrykind draft = lookup(draftname);
  if (why.empty()) {
    if (draft == entrykind::file)
      v = finish.checkback(&actions);
    else if (draft == entrykind::none)
      v = finish.checkforward();
    else
      v = {verdict::kind::unusable, draftname + ", the new script's draft, is not a file"};
    if (v.how == verdict::kind::unusable) why = v.why;
  }
  if (!why.empty()) {
    // Set aside, not removed: what it says may help whoever looks, and no
    // later run trips on it.
    r.why = why;
    // In the place of one set aside before (where a rename cannot replace
    // it: a folder set aside over a file).
    const bool moved = replacefile(journalname, badjournalname, &reason) ||
                       (removefile(badjournalname) && replacefile(journalname, badjournalname, &reason));
    if (!moved || !syncfolder(&reason))
      return fail(recovery::outcome::failed,
                  std::string(journalname) + " cannot be used: " + why + "; and cannot be set aside: " + reason);
    r.how = recovery::outcome::setaside;
    return r;
  }
  if (v.how == verdict::kind::interrupted) return fail(recovery::outcome::interrupted, "");
  if (v.how == verdict::kind::unreadable) return fail(recovery::outcome::failed, v.why);

  if (draft == entrykind::none) {
    tidied after;
    bool asidesleft = false;
    const bool whole = tidy(p, finish.names(), &after, &asidesleft, interrupted);
    if (!after.placed.empty()) r.lines.push_back("put " + namelist(after.placed) + " in place, from their drafts");
    if (!after.asides.empty())
      r.lines.push_back("removed " + namelist(after.asides) + ", the old kit's files it had moved aside");
    r.lines.insert(r.lines.end(), after.removed.begin(), after.removed.end());
    if (!whole) return fail(recovery::outcome::interrupted, "");
    if (asidesleft) return fail(recovery::outcome::failed, after.failed);
    if (!after.failed.empty()) r.lines.push_back(after.failed);
    if (endjournal(recovery::outcome::rolledforward)) r.lines.push_back(std::string("removed ") + journalname);
    return r;
  }

  // Back: the last step first, each as the commit would have undone it.
  std::vector<std::string> putback, takenback;
  auto report = [&] {
    // In the steps' order, as the names run.
    std::reverse(putback.begin(), putback.end());
    std::reverse(takenback.begin(), takenback.end());
    if (!putback.empty()) r.lines.push_back("put back " + namelist(putback) + ", which it had moved aside");
    if (!takenback.empty())
      r.lines.push_back("took back " + namelist(takenback) + ", which it had put in place where there was none");
  };
  for (size_t i = 0; i < actions.size(); ++i) {
    const action& a = actions[i];
    if (interrupted && interrupted()) {
      report();
      return fail(recovery::outcome::interrupted, "");
    }
    if (!replacefile(a.from, a.to, &reason)) {
      report();
      return fail(
          recovery::outcome::failed,
          (a.what == action::kind::putback ? a.to + ": cannot put back: " : a.from + ": cannot take back: ") + reason);
    }
    if (a.what == action::kind::putback)
      putback.push_back(a.to);
    else if (i + 1 == actions.size() || actions[i + 1].what != action::kind::putback || actions[i + 1].to != a.from)
      takenback.push_back(a.from);  // (a new file over an old one is named by the old one's putting back)
  }
  report();
  std::vector<std::string> drafts;
  for (const stepnames& n : finish.names())
    if (lookup(n.draft) != entrykind::none) drafts.push_back(n.draft);
  drafts.push_back(draftname);
  if (!endjournal(recovery::outcome::rolledback)) return r;
  for (const std::string& name : drafts) removefile(name);
  r.lines.push_back(std::string("removed ") + journalname + " and the drafts " + namelist(drafts));
  return r;
}
