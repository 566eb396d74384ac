// The folder's listing: every entry logged as "file:<name>", the stills
// among them (names that begin with "DSC" and contain ".JPG",
// case-sensitive) in byte-wise name order, and the temporary files a run
// that died left behind removed on the way.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kit/folder.h"

// Whether name is a still's: it begins with "DSC" and contains ".JPG".
bool isstill(std::string_view name);

// How the listing is logged.
struct listoptions {
  // Checked between entries: true stops the listing.
  std::function<bool()> interrupted;
  // The new script's temporary name, logged as the script's own name (as
  // it will be), unless the script is listed itself; never as itself.
  std::string draft;
  std::string draftshownas;
  // Whether names are shown escaped (the log is a terminal).
  bool escape = false;
};

// Reads the rest of the listing, logging "file:<name>" for every entry, and
// returns the stills in ascending byte-wise order. Sets *readerror to the
// system's reason if the folder could not be read to its end.
std::vector<std::string> liststills(folderlisting& folder, std::ostream& log, std::string* readerror,
                                    const listoptions& options = {});
