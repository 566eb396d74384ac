#include "driver/driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "script/script.h"
#include "slide/image.h"
#include "slide/slide.h"

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

int runslideshow(std::ostream& log, std::ostream& err, const std::function<void()>& waitforkey) {
  log << "Vantrel 0.1 alpha" << '\n';
  initimagelibrary();

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
  const slidestreams streams{log, err, script.stream()};
  for (const std::string& name : stills) complete &= processimage(counter, name.c_str(), streams);

  log << "Counter=" << counter << '\n';
  log.flush();
  writetransitionchain(script.stream(), counter);
  writescriptclosing(script.stream());
  if (!script.close() && scriptopened) {
    reportfailure(log, err, std::string(scriptname) + ": cannot write: " + script.error());
    complete = false;
  }

  log << "Run finished..press any key!\n";
  log.flush();
  waitforkey();
  return complete ? runcomplete : runincomplete;
}
