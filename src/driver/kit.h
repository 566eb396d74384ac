// The kit a run leaves in its folder: the frames out0001.jpg, out0002.jpg
// ... and the script "anim.avs" that shows them. It is replaced whole or
// not at all: a run writes the new frames and the script under temporary
// names beside the old kit, which stays as it is until the run commits.
// Then the frames and the script are put in place, and frames of an
// earlier run numbered beyond the new ones may go (removeoldframes). A run
// that does not commit removes what it wrote; one that dies leaves it
// behind, and the next run removes it while it lists the folder.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/output.h"
#include "script/script.h"

// The script's temporary name until the run commits, and a frame's.
extern const char draftname[];  // ".anim.avs.new"
std::string draftframename(int slide);
// Whether name is a frame's temporary name, as a run leaves it.
bool isdraftframe(std::string_view name);

class kit {
 public:
  // The script's title and music (script.h); none: its placeholders.
  explicit kit(scriptoptions options = {}) : options_(std::move(options)) {}
  // Removes what was written, unless the kit was committed.
  ~kit();
  kit(const kit&) = delete;
  kit& operator=(const kit&) = delete;

  // Creates the script's draft. False, with *why naming the file and the
  // reason, if the script cannot be made (a folder in its place, a folder
  // that cannot be written).
  bool begin(std::string* why);
  // Saves the frame of slide `slide` (1, 2 ... in order) under its
  // temporary name. False, with *why, if it cannot be.
  bool addframe(int slide, const std::string& jpeg, std::string* why);
  // Writes the script of the frames added and puts the kit in place: the
  // frames, then the script. False, with *why, if that fails; *replaced
  // then says whether any frame of the old kit had been replaced already.
  bool commit(std::string* why, bool* replaced);
  // Removes the draft and every frame saved, and what is left of them;
  // allocates nothing, so that it can run when memory has run out.
  void abandon() noexcept;

  // The transition rows the committed script draws, drawn once, for
  // whatever else shows the same show.
  const std::vector<int>& rows() const { return rows_; }
  int frames() const { return frames_; }

 private:
  scriptoptions options_;
  std::vector<int> rows_;
  outputfile script_;
  bool open_ = false;
  bool committed_ = false;
  int frames_ = 0;
};
