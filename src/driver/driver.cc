#include "driver/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "script/script.h"
#include "slide/image.h"
#include "slide/slide.h"
#include "worker/worker.h"

namespace {

// Hands the stills to the workers in list order, keeping every worker busy,
// and commits what they make strictly in list order. Returns whether every
// still became a slide.
bool makeslides(const std::vector<std::string>& stills, int& counter, const slidestreams& streams, std::ostream& err,
                const interruptguard& guard) {
  const unsigned workers = workercount(usablecpus(), stills.size(), physicalmemory());
  poolsettings settings;
  settings.workers = workers;
  settings.setup = [] { initimagelibrary(librarybudget); };
  settings.work = makeframe;
  settings.beforefork = [&] {
    streams.log.flush();
    streams.script.flush();
  };
  settings.diagnostics = [&](const std::string& text) {
    streams.log.flush();
    err << text;
    err.flush();
  };
  workerpool pool(std::move(settings), guard);

  // Results wait here until every still before them is committed; the window
  // bounds how far ahead of the oldest unfinished still the workers may run.
  std::vector<std::optional<slideresult>> results(stills.size());
  const size_t window = 8 * static_cast<size_t>(workers);
  size_t handed = 0, committed = 0;
  bool complete = true;
  std::vector<std::pair<size_t, slideresult>> done;
  while (committed < stills.size()) {
    while (guard.signal() == 0 && handed < stills.size() && handed < committed + window && pool.hasroom()) {
      slideresult failed;
      uint64_t size = 0;
      const int fd = openstill(stills[handed], &size, &failed.reason);
      if (fd < 0)
        results[handed] = std::move(failed);
      else
        pool.start(handed, stills[handed], fd, size);
      ++handed;
    }
    for (; committed < stills.size() && results[committed]; ++committed) {
      std::string failure;
      if (!processimage(counter, stills[committed].c_str(), *results[committed], streams, &failure)) {
        reportfailure(streams.log, err, failure);
        complete = false;
      }
      results[committed].reset();
    }
    if (committed == stills.size() || guard.signal() != 0) break;
    if (!pool.busy()) continue;
    done.clear();
    if (!pool.wait(&done)) break;
    for (auto& [job, result] : done) results[job] = std::move(result);
  }
  pool.clear();
  return complete;
}

}  // namespace

bool isstill(std::string_view name) {
  return name.substr(0, 3) == "DSC" && name.find(".JPG") != std::string_view::npos;
}

std::vector<std::string> liststills(DIR* dir, std::ostream& log, std::string* readerror) {
  std::vector<std::string> stills;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0 && readerror) *readerror = std::strerror(errno);
      break;
    }
    log << "file:" << entry->d_name << '\n';
    log.flush();
    if (isstill(entry->d_name)) stills.emplace_back(entry->d_name);
  }
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

int openstill(const std::string& name, uint64_t* size, std::string* reason) {
  auto fail = [&](const std::string& why) {
    *reason = why;
    return -1;
  };
  // stat first, so that a FIFO or a device is never opened at all.
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  if (S_ISDIR(st.st_mode)) return fail(std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail("not a regular file");
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(std::string("could not open file (") + std::strerror(errno) + ")");
  // Checked again on what was opened: the name may have changed hands.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail("not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > stillfilelimit) {
    close(fd);
    return fail("too large: a file of " + std::to_string(st.st_size >> 20) + " MiB (at most " +
                std::to_string(stillfilelimit >> 20) + " MiB)");
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

int runslideshow(std::ostream& log, std::ostream& err, const std::function<void()>& waitforkey) {
  log << "Vantrel 0.1 alpha" << '\n';
  // From here on an interruption is noted and answered between steps, so
  // the script and the frames are never left half-written.
  const interruptguard guard;

  DIR* dir = opendir(".");
  if (!dir) {
    const int syserr = errno;
    log << "Opendir failure;terminating";
    reportfailure(log, err, std::string("cannot open the current directory: ") + std::strerror(syserr));
    return runnodirectory;
  }

  scriptfile script;
  const bool scriptopened = script.open(scriptname);
  if (!scriptopened) {
    reportfailure(log, err, std::string(scriptname) + ": cannot create: " + script.error());
  }
  bool complete = scriptopened;
  writescriptopening(script.stream());

  std::string readerror;
  const std::vector<std::string> stills = liststills(dir, log, &readerror);
  closedir(dir);
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
                  std::string("interrupted (") + strsignal(guard.signal()) + "): " + std::to_string(counter - 1) +
                      (counter == 2 ? " slide" : " slides") + " made" +
                      (scriptwritten ? std::string(", and ") + scriptname + " holds them" : std::string()));
    guard.reraise();
  }
  log << "Run finished..press any key!\n";
  log.flush();
  waitforkey();
  return complete ? runcomplete : runincomplete;
}
