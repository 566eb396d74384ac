// The journal of a kit's commit (kit.h), and the finishing of a commit that
// a run was cut short in.
//
// The journal names the new script and every file the commit will put in
// place, with what that file is (its size, and for the script and a frame a
// hash of its bytes), whether an old file under its name is moved aside
// first, and what goes once the new kit is in place: the frames of an
// earlier run beyond the new ones and an old video the new kit has none
// for, each with its size. It is written whole, flushed with the folder,
// before the first file moves, and removed after the last.
//
// The next run finishes what a journal shows was cut short (finishcommit),
// and trusts nothing in it that the folder does not bear out: it reads the
// journal within fixed bounds, sizing nothing by a count in it, and checks
// every file each step needs before it moves any. Back, it puts back only
// what was moved aside, takes a new file back to its draft's name only
// where it is byte for byte the one the journal names, and removes nothing
// but drafts; forward, it goes on only where the new script and every new
// file are the ones named, and removes only old files moved aside and what
// the journal names as it found it. A journal that fails a check is set
// aside under badjournalname (names.h), and the kit is left as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The most bytes a journal may take, some 300,000 frames' lines: a commit
// of more is refused, and a larger file is no journal of a commit.
constexpr size_t journallimit = size_t{16} << 20;
// The most slides a journal may name: far beyond any folder's stills, and
// small enough that no number in it overflows.
constexpr int mostslides = 100000000;

// A 64-bit hash of bytes (FNV-1a), continued from `hash` over more of them.
constexpr uint64_t contenthashstart = 14695981039346656037u;
uint64_t contenthash(const char* data, size_t size, uint64_t hash = contenthashstart);

// What a commit does, as its journal says it.
struct plan {
  // The new script: its draft becomes the script at the commit point.
  uint64_t scriptsize = 0;
  uint64_t scripthash = 0;
  // One file put in place, in order: the frames 1, 2 ..., then the video.
  struct step {
    int slide = 0;      // the frame's number; 0 for the video
    bool old = false;   // an old file under its name is moved aside first
    uint64_t size = 0;  // the new file's size
    uint64_t hash = 0;  // a frame's contenthash (the video's is not taken)
  };
  std::vector<step> steps;
  // The frames of an earlier run numbered beyond the new ones, in order,
  // as the commit found them: they go once the new kit is in place.
  struct staleframe {
    int slide = 0;
    uint64_t size = 0;
  };
  std::vector<staleframe> stale;
  // An old video where the new kit has none, which goes too.
  bool oldvideo = false;
  uint64_t oldvideosize = 0;
};

// The names one step moves: its draft, its own and, where an old file is
// moved aside, the aside's ("" where none).
struct stepnames {
  std::string draft, final, aside;
};
stepnames namesof(const plan::step& step);

// The journal's text, and the plan read back from it. A text that is the
// start of a journal, cut short while it was written (no file moved before
// it was whole), reads as cutshort; anything but a whole journal as a run
// writes it is unusable, with *why.
std::string journaltext(const plan& p);
enum class journalread { whole, cutshort, unusable };
journalread readjournal(std::string_view text, plan* p, std::string* why);

// Writes the journal whole and flushes it with the folder. False, with
// *reason, if it cannot be.
bool writejournal(const plan& p, std::string* reason);

// What the tidying after a commit point did: the names of the new files it
// put in place from their drafts and of the old files moved aside that it
// removed (which only a run that finishes a commit cut short tells its
// user), lines for the user on the rest it removed, and the first file
// that could not be moved or removed, with why.
struct tidied {
  std::vector<std::string> placed;
  std::vector<std::string> asides;
  std::vector<std::string> removed;
  std::string failed;
};
// Finishes a commit past its commit point: a new file still under its
// draft goes in place, and the old ones go. *asidesleft says whether a
// moved-aside file stays (then the journal must too). Where interrupted
// (checked between files; none: never) says so, it stops there and
// returns false.
bool tidy(const plan& p, const std::vector<stepnames>& names, tidied* after, bool* asidesleft,
          const std::function<bool()>& interrupted = nullptr);

// Names in a line: "a", "a and b", "a, b and c", with a run of three or
// more names that differ only in a number counting up by one shown as
// "first ... last" ("out0001.jpg ... out0005.jpg").
std::string namelist(const std::vector<std::string>& names);

// What finishcommit found and did.
struct recovery {
  enum class outcome {
    nothing,        // no journal
    rolledback,     // cut short before its commit point: the old kit is back
    rolledforward,  // cut short after it: the new kit is whole
    setaside,       // a journal that cannot be used: set aside, the kit left as it is
    interrupted,    // stopped between two steps: the next run goes on
    failed,         // a file that could not be read, moved or removed: the next run tries again
  };
  outcome how = outcome::nothing;
  // Each file put back, put in place or removed, in lines for the user.
  std::vector<std::string> lines;
  // setaside, failed: the file and the reason.
  std::string why;
};
// Finishes the commit of an earlier run that a journal in the current
// folder shows was cut short, asking interrupted between its steps.
recovery finishcommit(const std::function<bool()>& interrupted);
