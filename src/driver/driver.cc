#include "driver/driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <utility>

#include "driver/commandline.h"
#include "driver/commit.h"
#include "driver/console.h"
#include "driver/output.h"
#include "driver/report.h"
#include "script/script.h"
#include "slide/image.h"
#include "slide/slide.h"
#include "worker/interrupt.h"
#include "worker/pool.h"
#include "worker/wire.h"

namespace {

// The new script, until it is put in place of the old one.
constexpr char draftname[] = ".anim.avs.new";

// What the run's workers do: the image work of a still.
const workersettings& frameworker() {
  static const workersettings settings = [] {
    workersettings worker;
    worker.name = "frame";
    worker.setup = [] {
      initimagelibrary(librarybudget);
      warmupimagelibrary();
    };
    worker.work = makeframe;
    worker.memorylimit = librarybudget + stillfilelimit + (uint64_t{1} << 30);
    return worker;
  }();
  return settings;
}

// Hands the stills to the workers and commits what they make strictly in
// list order. Returns whether every still became a slide.
bool makeslides(const std::vector<std::string>& stills, int& counter, const slidestreams& streams,
                interruptguard& guard) {
  if (stills.empty()) return true;
  const auto processes = makesubprocessset(frameworker(), guard, [&] { streams.log.flush(); });
  poolsettings settings;
  settings.workers = workercount(usablecpus(), stills.size(), physicalmemory());
  workerpool pool(std::move(settings), *processes, guard);

  bool complete = true;
  pool.run(
      stills.size(),
      [&](size_t i, stilljob* job, slideresult* failed) {
        uint64_t size = 0;
        const int fd = openstill(stills[i], &size, &failed->reason);
        if (fd >= 0) *job = stilljob(stills[i], fd, size);
        return fd >= 0;
      },
      [&](size_t i, slideresult&& made, const std::string& diagnostics) {
        complete &= processimage(counter, stills[i], made, diagnostics, streams);
      });
  return complete;
}

// Removes the frames of an earlier run numbered from `first` on, as long as
// they follow each other, and says which went, in one line. False if one
// of them could not be removed.
bool removeoldframes(int first, std::ostream& log, std::ostream& err) {
  int last = first;
  bool removable = true;
  while (lookup(slidename(last)) == entrykind::file && (removable = removefile(slidename(last)))) ++last;
  const std::string whynot = removable ? "" : std::strerror(errno);
  const int removed = last - first;
  const std::string from = slidename(first), to = slidename(last - 1);
  if (removed > 0)
    reportfailure(log, err,
                  removed == 1   ? "removed " + from + ", a frame of an earlier run"
                  : removed == 2 ? "removed " + from + " and " + to + ", frames of an earlier run"
                                 : "removed " + from + " ... " + to + ", " + std::to_string(removed) +
                                       " frames of an earlier run");
  if (!removable)
    reportfailure(log, err, "cannot remove " + slidename(last) + ", a frame of an earlier run: " + whynot);
  return removable;
}

// The run in its folder, held and listed as far as the folder's opening.
int runinfolder(std::unique_ptr<folderlisting> folder, const std::string& which, const runoptions& options,
                interruptguard& guard, std::ostream& log, std::ostream& err) {
  std::string reason;
  // The new script is written beside the old one, which stays as it is
  // until the new one is complete.
  outputfile script;
  const entrykind old = lookup(scriptname);
  removefile(draftname);
  bool scriptopened = false;
  if (old == entrykind::folder)
    reportfailure(log, err, std::string(scriptname) + ": cannot create: Is a directory");
  else if (!(scriptopened = script.open(draftname)))
    reportfailure(log, err, std::string(scriptname) + ": cannot create: " + script.error());
  bool complete = scriptopened;

  listoptions listing;
  listing.interrupted = [&] { return guard.pending(); };
  listing.draft = draftname;
  listing.draftshownas = old == entrykind::none ? scriptname : "";
  listing.escape = options.escapelog;
  std::string readerror;
  const std::vector<std::string> stills = liststills(*folder, log, &readerror, listing);
  folder.reset();
  if (!readerror.empty()) {
    reportfailure(log, err, "cannot read " + which + " to its end: " + readerror);
    complete = false;
  }

  int counter = 1;
  if (!guard.pending())
    complete &= makeslides(stills, counter, slidestreams{log, err, options.escapelog}, guard);

  log << "Counter=" << counter << '\n';
  log.flush();
  // Written whole now that the number of slides is known.
  writescript(script.stream(), counter - 1);
  bool scriptwritten = scriptopened && script.close();
  if (scriptopened && !scriptwritten) {
    reportfailure(log, err, std::string(scriptname) + ": cannot write: " + script.error());
  } else if (scriptwritten && !replacefile(draftname, scriptname, &reason)) {
    reportfailure(log, err, std::string(scriptname) + ": cannot replace: " + reason);
    scriptwritten = false;
  }
  if (!scriptwritten) {
    removefile(draftname);
    complete = false;
  }
  complete &= removeoldframes(counter, log, err);

  if (guard.signal() != 0) {
    reportfailure(log, err,
                  "interrupted (" + guard.name() + "): " + std::to_string(counter - 1) +
                      (counter == 2 ? " slide" : " slides") + " made" +
                      (scriptwritten ? std::string(", and ") + scriptname + " holds them" : std::string()));
    guard.reraise();
  }
  if (stills.empty())
    reportfailure(log, err, "no camera stills (names beginning \"DSC\" and containing \".JPG\") were found");
  log << "Run finished..press any key!\n";
  log.flush();
  return complete ? runcomplete : runincomplete;
}

}  // namespace

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

int runslideshow(const runoptions& options, std::ostream& log, std::ostream& err) {
  log << "Vantrel 0.1 alpha" << '\n';
  // From here on an interruption is noted and answered between steps, so
  // the script and the frames are never left half-written.
  interruptguard guard;

  std::string reason;
  const std::string which = options.folder.empty() ? "the current directory" : escapedname(options.folder);
  std::unique_ptr<folderlisting> folder;
  if (options.folder.empty() || enterfolder(options.folder, &reason)) folder = std::make_unique<folderlisting>(".");
  if (!folder || !folder->ok()) {
    log << "Opendir failure;terminating";
    reportfailure(log, err, "cannot open " + which + ": " + (folder ? folder->error() : reason));
    return runnodirectory;
  }
  folderlock lock;
  if (!lock.acquire()) {
    reportfailure(log, err, escapedname(currentfolder()) + ": busy: another vantrel run is working in this folder");
    return runnodirectory;
  }
  try {
    return runinfolder(std::move(folder), which, options, guard, log, err);
  } catch (const std::bad_alloc&) {
    // The unfinished script goes while the folder is still this run's.
    removefile(draftname);
    throw;
  }
}

int runcommand(const std::vector<std::string>& args) {
  serveifworker(args, [](const std::string& name) { return name == frameworker().name ? &frameworker() : nullptr; });
  setupprocess();
  const commandline line = parsecommandline(args);
  std::string mistake = line.mistake, reason;
  if (line.what == commandline::action::help) return std::cout << helptext << std::flush ? 0 : runincomplete;
  if (line.what == commandline::action::version) return std::cout << versiontext << std::flush ? 0 : runincomplete;
  if (line.what == commandline::action::run && !line.folder.empty() && !isfolder(line.folder, &reason))
    mistake = line.folder + ": " + reason;
  if (!mistake.empty()) {
    std::cerr << "vantrel: " << escapedname(mistake) << '\n' << usageline << std::flush;
    return runnodirectory;
  }
  outputfile log(1);
  int status = runincomplete;
  try {
    status = runslideshow({line.folder, logisterminal()}, log.stream(), std::cerr);
  } catch (const std::bad_alloc&) {
    // The workers are ended, the old script is as it was and the new one,
    // unfinished, is gone.
    std::cerr << "vantrel: out of memory" << std::endl;
    return runincomplete;
  }
  if (!log.close()) {
    std::cerr << "vantrel: standard output: cannot write the log: " << log.error() << std::endl;
    return std::max(status, runincomplete);
  }
  if (status != runnodirectory) waitforkey();
  return status;
}
