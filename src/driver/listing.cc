#include "driver/listing.h"

#include <algorithm>

#include "base/text.h"
#include "kit/kit.h"

bool isstill(std::string_view name) {
  return name.substr(0, 3) == "DSC" && name.find(".JPG") != std::string_view::npos;
}

std::vector<std::string> liststills(folderlisting& folder, std::ostream& log, std::string* readerror,
                                    const listoptions& options) {
  std::vector<std::string> stills;
  for (std::string name; !(options.interrupted && options.interrupted()) && folder.next(&name);) {
    if (!options.draft.empty() && name == options.draft) {
      if (options.draftshownas.empty()) continue;
      name = options.draftshownas;
    } else if (isdraft(name)) {
      // Left by a run that died before it could put its kit in place.
      removefile(name);
      continue;
    }
    log << "file:" << (options.escape ? escapedname(name) : name) << '\n';
    log.flush();
    if (isstill(name)) stills.push_back(name);
  }
  if (readerror) *readerror = folder.error();
  // One sort at the end gives the same list as keeping it sorted on every
  // insertion, without the quadratic cost on large folders.
  std::sort(stills.begin(), stills.end());
  return stills;
}
