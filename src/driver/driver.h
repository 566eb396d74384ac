// The run: one pass over the current directory, from the banner to the
// wait for a key.
//
// Every directory entry is logged; the stills (names that begin with "DSC"
// and contain ".JPG", case-sensitive) become slides in byte-wise name order.
// The script "anim.avs" is started once the directory is open and finished
// after the last slide.
#pragma once

#include <dirent.h>

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// Exit statuses of a run.
constexpr int runcomplete = 0;   // every still became a slide, the script was written
constexpr int runnodirectory = 1;  // the current directory could not be opened
constexpr int runincomplete = 2;  // the run ended, but a still or the script failed

bool isstill(std::string_view name);

// Reads the rest of dir, logging "file:<name>" for every entry, and returns
// the stills in ascending byte-wise order. Sets *readerror to the system's
// reason if the directory could not be read to its end.
std::vector<std::string> liststills(DIR* dir, std::ostream& log, std::string* readerror);

// Runs in the current directory and returns the exit status. waitforkey is
// called at the end of every run that gets past opening the directory.
int runslideshow(std::ostream& log, std::ostream& err, const std::function<void()>& waitforkey);
