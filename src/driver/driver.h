// The run: one pass over the current directory, from the banner to the
// wait for a key.
//
// Every directory entry is logged; the stills (names that begin with "DSC"
// and contain ".JPG", case-sensitive) become slides in byte-wise name order.
// The script "anim.avs" is started once the directory is open and finished
// after the last slide. The image work is spread over worker processes
// (src/worker); the driver alone opens the stills and writes the frames and
// the script (folder.h), committing the slides strictly in list order
// (commit.h).
//
// SIGINT, SIGTERM or SIGHUP end a run early: no more stills are handed out,
// the workers are ended, the script is finished for the slides made so far,
// and the process then ends by that signal.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/folder.h"

// Exit statuses of a run.
constexpr int runcomplete = 0;     // every still became a slide, the script was written
constexpr int runnodirectory = 1;  // the current directory could not be opened
constexpr int runincomplete = 2;   // the run ended, but a still or the script failed

bool isstill(std::string_view name);

// Reads the rest of the listing, logging "file:<name>" for every entry, and
// returns the stills in ascending byte-wise order. Sets *readerror to the
// system's reason if the folder could not be read to its end.
std::vector<std::string> liststills(folderlisting& folder, std::ostream& log, std::string* readerror);

// Writes "vantrel: <message>" on err, after flushing log so that a terminal
// shows both in the order they happened.
void reportfailure(std::ostream& log, std::ostream& err, const std::string& message);

// Runs in the current directory and returns the exit status. waitforkey is
// called at the end of every run that gets past opening the directory and
// is not interrupted.
int runslideshow(std::ostream& log, std::ostream& err, const std::function<void()>& waitforkey);
