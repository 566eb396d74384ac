// src/kit/ (this folder): the kit a run leaves in its folder, and the
// folder itself: every name of the kit (names.h), the frames, the video
// (avi.h) and the script written beside the old kit and committed whole
// (kit.h), the commit's journal, by which the next run finishes a commit
// cut short once it has checked the folder against it (journal.h), and
// everything done to the user's folder, on a few calls each platform gives
// (folder.h). It knows nothing of slides or of
// the script's text: the driver hands it both.
//
// The kit a run leaves in its folder: the frames out0001.jpg, out0002.jpg
// ..., the video outhuffy.avi that holds them (avi.h) and the script
// "anim.avs" that shows them. It is replaced whole or not at all.
//
// A run writes the new frames, the video and the script under temporary
// names beside the old kit, which stays as it is, and flushes each to the
// disk. The commit is then a journaled transaction: a journal in the folder
// says what it will do and is flushed with the folder; each old file that
// will be replaced is moved aside; the new files are put in place, the
// script last (the commit point); the folder is flushed; and only then do
// the moved-aside files, the frames of an earlier run numbered beyond the
// new ones (and its video, where the new kit has none) and the journal go.
// A failure before the commit point rolls back in the same run. A run that
// is killed, or a machine that loses power, at any moment leaves a journal
// that the next run finishes (journal.h, finishcommit) before anything
// else: rolled back if the commit point was not reached, forward if it
// was. So the folder always comes to hold one whole kit, old or new.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/output.h"
#include "kit/avi.h"
#include "kit/journal.h"
#include "kit/names.h"

class kit {
 public:
  // The frames are of `size` (the video's headers say it).
  explicit kit(framesize size);
  // Removes what was written, unless the kit was committed.
  ~kit();
  kit(const kit&) = delete;
  kit& operator=(const kit&) = delete;

  // Creates the script's draft. False, with *why naming the file and the
  // reason, if the script cannot be made (a folder in its place, a folder
  // that cannot be written).
  bool begin(std::string* why);
  // Saves the frame of slide `slide` (1, 2 ... in order) under its
  // temporary name, flushed to the disk, and adds it to the video. False,
  // with *why, if it cannot be.
  bool addframe(int slide, const std::string& jpeg, std::string* why);

  // Writes `script`, the text of the script of the frames added, and
  // commits the kit. False, with *why, if the kit could not be put in place:
  // the old kit is then as it was, or after->failed says that the next run
  // puts it back. Once it is in place, *after says what went (removed, for
  // the user) and what could not (failed).
  bool commit(const std::string& script, std::string* why, tidied* after);
  // Removes the drafts of every file saved; allocates nothing, so that it
  // can run when memory has run out.
  void abandon() noexcept;

  // Where each slide's frame lies in the committed video.
  const std::vector<framespan>& videospans() const { return videospans_; }

 private:
  std::vector<framespan> videospans_;
  outputfile script_;
  bool open_ = false;
  bool committed_ = false;
  bool journalleft_ = false;  // a commit that could not be rolled back: the next run finishes it
  int frames_ = 0;
  // Each frame saved, as the journal records it.
  struct newfile {
    uint64_t size;
    uint64_t hash;
  };
  std::vector<newfile> framefiles_;
  framesize size_;
  int videofd_ = -1;
  std::unique_ptr<aviwriter> video_;
};
