// The folder a run works in, as the platform offers it: its listing, its
// lock, the stills read from it and the frames and script written to it.
// Everything a run does to the user's folder, the driver's and the kit's,
// goes through here, so that it is in one place and the same on every
// platform: folder-posix.cc and folder-win32.cc implement it. Nothing here follows a link to write, and nothing blocks
// on a file of the folder (a FIFO, a device).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Whether path is a folder (or a link to one); if not, *reason says why.
bool isfolder(const std::string& path, std::string* reason);
// Makes path the current folder. False, with the reason, if it cannot be.
bool enterfolder(const std::string& path, std::string* reason);
// The current folder's full path, for messages.
std::string currentfolder();

// The entries of a folder, one at a time.
class folderlisting {
 public:
  // Opens path for listing; ok() says whether that worked, error() why not.
  explicit folderlisting(const std::string& path);
  ~folderlisting();
  folderlisting(const folderlisting&) = delete;
  folderlisting& operator=(const folderlisting&) = delete;

  bool ok() const;
  // The next entry's name, in the order the file system keeps them; false
  // at the end, and then error() is empty unless the listing broke off.
  bool next(std::string* name);
  const std::string& error() const;

 private:
  struct platform;
  std::unique_ptr<platform> native_;
  std::string error_;
};

// The current folder, held for one run: a second run in it finds it busy.
// The lock goes with the process, however that ends.
class folderlock {
 public:
  folderlock();
  ~folderlock();
  folderlock(const folderlock&) = delete;
  folderlock& operator=(const folderlock&) = delete;

  // Holds the folder: busy if another run holds it, failed (with *reason)
  // where this run cannot even look (it is out of descriptors). Where the
  // file system cannot lock, the run goes on unlocked, as if held.
  enum class outcome { held, busy, failed };
  outcome acquire(std::string* reason);

 private:
  struct platform;
  std::unique_ptr<platform> native_;
};

// What a file is, to tell whether it changed since: its size and when it
// was last written.
struct stillstamp {
  uint64_t size = 0;
  int64_t written = 0;
};

// What a name in the current folder is, without following a link; and, for
// a file, its stamp.
enum class entrykind { none, file, folder, other };
entrykind lookup(const std::string& name, stillstamp* stamp = nullptr);

// Opens a still for reading, without blocking and only if it is a regular
// file of at most limit bytes (the workers' stillfilelimit, worker/wire.h). Returns the descriptor and
// sets *stamp, or returns stillfault with *reason in plain words, or
// runfault where the run itself cannot open a file (it is out of
// descriptors or memory), which no other still would escape. The name is
// looked at before it is opened and what was opened again after; between
// the two, afterlook runs (a seam: a test changes the name's owner there).
constexpr int stillfault = -1, runfault = -2;
int openstill(const std::string& name, uint64_t limit, stillstamp* stamp, std::string* reason,
              const std::function<void()>& afterlook = nullptr);
// Whether the file under name is no longer the one stamp describes.
bool stillchanged(const std::string& name, const stillstamp& stamp);

// Writes a frame under name, replacing an older file (or a link) of that
// name, and flushes it to the disk. A frame that cannot be written whole
// leaves nothing under the name.
bool writeframe(const std::string& name, const std::string& jpeg, std::string* reason);

// Creates name afresh for writing, as text (with the platform's line
// breaks) or bytes (a file or a link left under the name goes first).
// Returns the descriptor, or -1 with *reason.
int createfile(const std::string& name, bool text, std::string* reason);
// Reads the whole of a file of at most limit bytes into *text. False, with
// *reason, if it cannot be (or is larger).
bool readsmallfile(const std::string& name, size_t limit, std::string* text, std::string* reason);
// Reads a file of the folder's own (not through a link) from its start to
// its end, handing each piece of at most iochunk bytes to `each` in order.
// False, with *reason, if it cannot be read whole.
bool readpieces(const std::string& name, const std::function<void(const char* data, size_t size)>& each,
                std::string* reason);
// Flushes the current folder's entries (names made, renamed, removed) to
// the disk: fsync on the folder where POSIX allows it; on Windows each
// rename writes through already. A file system that cannot flush a folder
// is no failure. False, with *reason, if the flush failed.
bool syncfolder(std::string* reason);
// Puts the file from in the place of to in one step, replacing whatever
// file or link was there.
bool replacefile(const std::string& from, const std::string& to, std::string* reason);
// Removes a file (or a link) of that name; false if there was none. The
// second allocates nothing.
bool removefile(const std::string& name);
bool removefile(const char* name);

// A file written elsewhere than the folder (the rendered video, wherever
// the user names it) that takes its name only when whole: it is written
// with no name where the system makes such files, else under a temporary
// copy's name beside it (copyname, names.h), and held by this process so
// that no other run takes it for one that a run cut short left. commit()
// flushes it to the disk, puts it in the file's place in one step and
// flushes the file's folder; a draft not committed leaves nothing. (Windows
// renders no video: there it is refused.)
// The folder a path is in: "." for a bare name.
std::string folderof(const std::string& file);

// A file of no name in folder, for a run's own scratch data (the video's
// pictures), gone when its descriptor closes, however the run ends.
// Returns the descriptor, or -1 with *reason.
int scratchfile(const std::string& folder, std::string* reason);

class draftfile {
 public:
  explicit draftfile(const std::string& file);
  ~draftfile();
  draftfile(const draftfile&) = delete;
  draftfile& operator=(const draftfile&) = delete;

  // The descriptor to write to; -1 where none could be made, and error()
  // says why.
  int fd() const;
  const std::string& error() const;
  // False, with *reason, if the file could not be put in place or its
  // folder not flushed.
  bool commit(std::string* reason);

 private:
  struct platform;
  std::unique_ptr<platform> native_;
  std::string file_;
  std::string error_;
};

// Removes the temporary copies of file (copyname) that runs cut short left
// beside it, none that a live run holds, and returns their names.
std::vector<std::string> removeleftcopies(const std::string& file);
