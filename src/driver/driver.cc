#include "driver/driver.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "driver/commit.h"
#include "driver/output.h"
#include "script/script.h"
#include "slide/image.h"
#include "slide/slide.h"
#include "worker/interrupt.h"
#include "worker/pool.h"
#include "worker/wire.h"

namespace {

// Hands the stills to the workers and commits what they make strictly in
// list order. Returns whether every still became a slide.
bool makeslides(const std::vector<std::string>& stills, int& counter, const slidestreams& streams, std::ostream& err,
                const interruptguard& guard) {
  workersettings worker;
  worker.setup = [] { initimagelibrary(librarybudget); };
  worker.work = makeframe;
  worker.memorylimit = librarybudget + stillfilelimit + (uint64_t{1} << 30);
  const auto processes = makesubprocessset(std::move(worker), guard, [&] {
    streams.log.flush();
    streams.script.flush();
  });
  poolsettings settings;
  settings.workers = workercount(usablecpus(), stills.size(), physicalmemory());
  settings.diagnostics = [&](const std::string& text) {
    streams.log.flush();
    err << text;
    err.flush();
  };
  workerpool pool(std::move(settings), *processes);

  bool complete = true;
  pool.run(
      stills.size(),
      [&](size_t i, stilljob* job, slideresult* failed) {
        uint64_t size = 0;
        const int fd = openstill(stills[i], &size, &failed->reason);
        if (fd >= 0) *job = stilljob(stills[i], fd, size);
        return fd >= 0;
      },
      [&](size_t i, slideresult&& made) {
        std::string failure;
        if (!processimage(counter, stills[i].c_str(), made, streams, &failure)) {
          reportfailure(streams.log, err, failure);
          complete = false;
        }
      });
  return complete;
}

}  // namespace

bool isstill(std::string_view name) {
  return name.substr(0, 3) == "DSC" && name.find(".JPG") != std::string_view::npos;
}

std::vector<std::string> liststills(folderlisting& folder, std::ostream& log, std::string* readerror) {
  std::vector<std::string> stills;
  for (std::string name; folder.next(&name);) {
    log << "file:" << name << '\n';
    log.flush();
    if (isstill(name)) stills.push_back(name);
  }
  if (readerror) *readerror = folder.error();
  // One sort at the end gives the same list as keeping it sorted on every
  // insertion, without the quadratic cost on large folders.
  std::sort(stills.begin(), stills.end());
  return stills;
}

void reportfailure(std::ostream& log, std::ostream& err, const std::string& message) {
  log.flush();
  err << "vantrel: " << message << '\n';
  err.flush();
}

int runslideshow(std::ostream& log, std::ostream& err, const std::function<void()>& waitforkey) {
  log << "Vantrel 0.1 alpha" << '\n';
  // From here on an interruption is noted and answered between steps, so
  // the script and the frames are never left half-written.
  const interruptguard guard;

  auto folder = std::make_unique<folderlisting>(".");
  if (!folder->ok()) {
    log << "Opendir failure;terminating";
    reportfailure(log, err, "cannot open the current directory: " + folder->error());
    return runnodirectory;
  }

  outputfile script;
  const bool scriptopened = script.open(scriptname);
  if (!scriptopened) reportfailure(log, err, std::string(scriptname) + ": cannot create: " + script.error());
  bool complete = scriptopened;
  writescriptopening(script.stream());

  std::string readerror;
  const std::vector<std::string> stills = liststills(*folder, log, &readerror);
  folder.reset();
  if (!readerror.empty()) {
    reportfailure(log, err, "cannot read the current directory to its end: " + readerror);
    complete = false;
  }

  int counter = 1;
  complete &= makeslides(stills, counter, slidestreams{log, script.stream()}, err, guard);

  log << "Counter=" << counter << '\n';
  log.flush();
  writetransitionchain(script.stream(), counter);
  writescriptclosing(script.stream());
  const bool scriptwritten = script.close();
  if (!scriptwritten && scriptopened) {
    reportfailure(log, err, std::string(scriptname) + ": cannot write: " + script.error());
    complete = false;
  }

  if (guard.signal() != 0) {
    reportfailure(log, err,
                  "interrupted (" + guard.name() + "): " + std::to_string(counter - 1) +
                      (counter == 2 ? " slide" : " slides") + " made" +
                      (scriptwritten ? std::string(", and ") + scriptname + " holds them" : std::string()));
    guard.reraise();
  }
  log << "Run finished..press any key!\n";
  log.flush();
  waitforkey();
  return complete ? runcomplete : runincomplete;
}
