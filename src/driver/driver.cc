#include "driver/driver.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

#include "base/interrupt.h"
#include "base/text.h"
#include "driver/commit.h"
#include "driver/console.h"
#include "driver/listing.h"
#include "driver/pictures.h"
#include "driver/report.h"
#include "driver/version.h"
#include "driver/workers.h"
#include "kit/journal.h"
#include "kit/kit.h"
#include "script/script.h"
#include "slide/slide.h"
#include "worker/pool.h"
#include "worker/wire.h"

namespace {

// How the making of the slides ended.
struct slidesmade {
  bool complete = true;  // every still became a slide
  std::string failure;   // the run's own failure, which stopped it
};

// Hands the stills to the workers and commits what they make strictly in
// list order, the frames into the kit and, for a video of its own size,
// the pictures into theirs.
slidesmade makeslides(const std::vector<std::string>& stills, int& counter, const slidestreams& streams, kit& frames,
                      picturestore* pictures, interruptguard& guard, bool fit) {
  slidesmade made;
  if (stills.empty()) return made;
  const workersettings work = pictures ? pictureworker(fit, pictures->wish()) : fit ? fitframeworker() : frameworker();
  const auto processes = makesubprocessset(work, guard, [&] { streams.log.flush(); });
  poolsettings settings;
  settings.workers = workercount(usablecpus(), stills.size(), physicalmemory());
  workerpool pool(std::move(settings), *processes, guard);
  // Each still as it was when it was handed out.
  std::vector<std::optional<stillstamp>> opened(stills.size());

  const workerpool::end end = pool.run(
      stills.size(),
      [&](size_t i, stilljob* job, slideresult* failed) {
        stillstamp stamp;
        const int fd = openstill(stills[i], stillfilelimit, &stamp, &failed->reason);
        if (fd == runfault) pool.stop("cannot open " + escapedname(stills[i]) + ": " + failed->reason);
        if (fd < 0) return false;
        *job = stilljob(stills[i], fd, stamp.size);
        opened[i] = stamp;
        return true;
      },
      [&](size_t i, slideresult&& result, const std::string& diagnostics) {
        // A still rewritten or cut while its worker read it (which can end
        // the worker by a bus error) is no fault of the library's.
        if (result.state != slidestate::framed && opened[i] && stillchanged(stills[i], *opened[i])) {
          result.state = slidestate::unloadable;
          result.reason = "changed while it was read";
        }
        std::string failure;
        switch (commitslide(counter, stills[i], result, diagnostics, streams, frames, pictures, &failure)) {
          case commitment::slide: break;
          case commitment::skipped: made.complete = false; break;
          case commitment::stopped: pool.stop(failure); break;
        }
      });
  if (end == workerpool::end::failed) made.failure = pool.failure();
  return made;
}

// How a failure of the run itself is reported: what failed, and what it
// means for the folder.
std::string stopped(const std::string& why) { return why + "; the run stops, and the kit in the folder is as it was"; }

// The run in its folder, held and listed as far as the folder's opening;
// complete is false where something went wrong already (a journal set
// aside).
int runinfolder(std::unique_ptr<folderlisting> folder, const std::string& which, const runoptions& options,
                bool complete, interruptguard& guard, std::ostream& log, std::ostream& err) {
  // The new kit is written beside the old one, which stays as it is until
  // the new one is complete.
  kit made(frameof(videosize::pal));
  std::string failure;
  const bool oldscript = lookup(scriptname) != entrykind::none;
  const bool begun = made.begin(&failure);

  listoptions listing;
  listing.interrupted = [&] { return guard.pending(); };
  listing.draft = begun ? draftname : "";
  listing.draftshownas = oldscript ? "" : scriptname;
  listing.escape = options.escapelog;
  std::string readerror;
  const std::vector<std::string> stills = liststills(*folder, log, &readerror, listing);
  folder.reset();
  if (!readerror.empty()) {
    reportfailure(log, err, "cannot read " + which + " to its end: " + readerror);
    complete = false;
  }

  // A video of its own size, or one that moves, keeps each photo's picture
  // beside it.
  std::unique_ptr<picturestore> pictures;
  if (!options.video.file.empty() && (options.video.size != videosize::pal || options.video.motion)) {
    pictures = std::make_unique<picturestore>(pictureswanted(options.video, options.fit));
    pictures->open(folderof(options.video.file));
  }
  int counter = 1;
  if (begun && !guard.pending()) {
    const slidesmade slides = makeslides(stills, counter, slidestreams{log, err, options.escapelog}, made,
                                         pictures.get(), guard, options.fit);
    complete &= slides.complete;
    failure = slides.failure;
  }

  log << "Counter=" << counter << '\n';
  log.flush();
  // Stills, and not one became a slide: a kit of no slides would only
  // take the place of the old one, so nothing is committed.
  const bool nonemade = begun && failure.empty() && !stills.empty() && counter == 1 && !guard.pending();
  // The show is decided once, here: the transition rows the script draws
  // are the ones the video shows.
  std::vector<int> rows;
  std::vector<slidemotion> motions;
  std::ostringstream script;
  if (failure.empty() && !nonemade) {
    rows = drawrowsnow(counter - 1);
    // How the video's slides move: the script has no part in it.
    if (options.video.motion) motions = drawmotions(counter - 1, [] { return std::rand(); });
    writescript(script, counter - 1, rows, options.script);
  }
  tidied after;
  bool committed = false;
  if (nonemade) {
    made.abandon();
    reportfailure(log, err,
                  (stills.size() == 1 ? std::string("the still did not become a slide")
                                      : "none of the " + std::to_string(stills.size()) + " stills became a slide") +
                      "; the kit in the folder is as it was");
    complete = false;
  } else if (failure.empty() && (committed = made.commit(script.str(), &failure, &after))) {
    for (const std::string& line : after.removed) reportfailure(log, err, line);
    if (!after.failed.empty()) {
      reportfailure(log, err, after.failed);
      complete = false;
    }
    if (!options.video.file.empty() && !guard.pending())
      complete &= makevideo(options.video, made.videospans(), rows, motions, pictures.get(), guard, log, err);
  } else {
    made.abandon();
    reportfailure(log, err, after.failed.empty() ? stopped(failure) : failure + "; the run stops, and " + after.failed);
    complete = false;
  }

  // An interruption held back while the kit was committed is answered now.
  if (guard.pending()) {
    reportfailure(log, err,
                  "interrupted (" + guard.name() + "): " + std::to_string(counter - 1) +
                      (counter == 2 ? " slide" : " slides") + " made" +
                      (committed ? std::string(", and ") + scriptname + " holds them" : std::string()));
    restoreconsole();
    guard.reraise();
  }
  if (stills.empty() && failure.empty())
    reportfailure(log, err, "no camera stills (names beginning \"DSC\" and containing \".JPG\") were found");
  log << "Run finished..press any key!\n";
  log.flush();
  return complete ? runcomplete : runincomplete;
}

}  // namespace

int runslideshow(const runoptions& options, std::ostream& log, std::ostream& err) {
  log << "Vantrel " VANTREL_VERSION << '\n';
  // From here on an interruption is noted and answered between steps, so
  // the script and the frames are never left half-written.
  interruptguard guard;

  std::string reason;
  const std::string which = options.folder.empty() ? "the current directory" : escapedname(options.folder);
  std::unique_ptr<folderlisting> folder;
  if (options.folder.empty() || enterfolder(options.folder, &reason)) folder = std::make_unique<folderlisting>(".");
  if (!folder || !folder->ok()) {
    // A terminal ends the line, so that the reason on standard error starts one of its own.
    log << "Opendir failure;terminating" << (options.escapelog ? "\n" : "");
    reportfailure(log, err, "cannot open " + which + ": " + (folder ? folder->error() : reason));
    return runrefused;
  }
  folderlock lock;
  switch (lock.acquire(&reason)) {
    case folderlock::outcome::held: break;
    case folderlock::outcome::busy:
      reportfailure(log, err, escapedname(currentfolder()) + ": busy: another vantrel run is working in this folder");
      return runrefused;
    case folderlock::outcome::failed:
      reportfailure(log, err, stopped("cannot hold " + which + ": " + reason));
      return runincomplete;
  }
  // A commit that an earlier run began and never ended is finished first,
  // whatever this run then does.
  const recovery finished = finishcommit([&] { return guard.pending(); });
  auto tell = [&](const std::string& headline) {
    reportfailure(log, err, headline);
    for (const std::string& line : finished.lines) reportfailure(log, err, line);
  };
  bool recovered = true;
  switch (finished.how) {
    case recovery::outcome::nothing: break;
    case recovery::outcome::rolledback:
      tell("an earlier run was cut short in its commit: rolled back, the kit is as it was before it");
      break;
    case recovery::outcome::rolledforward:
      tell("an earlier run was cut short in its commit: finished, the kit is the one it made");
      break;
    case recovery::outcome::setaside:
      tell(std::string(journalname) + ": cannot be used: " + escapedname(finished.why) + "; set aside as " +
           badjournalname + ", and the kit is left as it is");
      recovered = false;
      break;
    case recovery::outcome::interrupted:
      tell("interrupted (" + guard.name() +
           ") while it finished the commit of an earlier run that was cut short; the next run goes on with it");
      restoreconsole();
      guard.reraise();
    case recovery::outcome::failed:
      tell("cannot finish the commit of an earlier run that was cut short: " + escapedname(finished.why) +
           "; the run stops, and the next run tries again");
      return runincomplete;
  }
  return runinfolder(std::move(folder), which, options, recovered, guard, log, err);
}
