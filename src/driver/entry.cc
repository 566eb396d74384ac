#include "driver/entry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>

#include "base/output.h"
#include "base/text.h"
#include "driver/commandline.h"
#include "driver/console.h"
#include "driver/driver.h"
#include "driver/showvideo.h"
#include "driver/workers.h"
#include "kit/folder.h"
#include "worker/subprocess.h"

int runcommand(const std::vector<std::string>& args) {
  serveifworker(args, findworker);
  setupprocess();
  const commandline line = parsecommandline(args);
  std::string mistake = line.mistake, reason;
  bool usage = true;  // whether the usage follows the mistake
  int status = runincomplete;
  if (line.what == commandline::action::help || line.what == commandline::action::version) {
    std::cout << (line.what == commandline::action::help ? helptext : versiontext) << std::flush;
    status = std::cout ? 0 : runincomplete;
  } else {
    if (line.what == commandline::action::run && !line.folder.empty() && !isfolder(line.folder, &reason))
      mistake = line.folder + ": " + reason;
    if (line.what == commandline::action::run && mistake.empty() && !line.video.empty() &&
        !(reason = videoproblem(line.video)).empty())
      mistake = "--video " + line.video + ": " + reason;
    videosize size = videosize::pal;
    if (line.what == commandline::action::run && mistake.empty() && !line.size.empty() && line.video.empty())
      mistake = "--size " + line.size + ": a size is a video's (--video FILE)";
    if (line.what == commandline::action::run && mistake.empty() && line.motion && line.video.empty())
      mistake = "--motion: motion is a video's (--video FILE)";
    if (line.what == commandline::action::run && mistake.empty() && !line.video.empty() &&
        !videosizeof(line.video, line.size, &size, &reason))
      mistake = "--size " + line.size + ": " + reason;
    // The files the line names, looked at before anything is made: a
    // problem of the file, not of the line, is said in one line.
    const bool willrun = line.what == commandline::action::run && mistake.empty();
    if (willrun && !line.video.empty() && !(reason = videoplaceproblem(line.video)).empty())
      mistake = "--video " + line.video + ": " + reason, usage = false;
    if (willrun && mistake.empty() && !line.music.empty() && !(reason = musicproblem(line.music)).empty())
      mistake = "--music " + line.music + ": " + reason, usage = false;
    if (!mistake.empty()) {
      std::cerr << "vantrel: " << escapedname(mistake) << '\n' << (usage ? usageline : "") << std::flush;
      status = runrefused;
    } else {
      outputfile log(1);
      runoptions run{line.folder, logisterminal(), line.fit, {}, {}};
      // Files named on the command line are where the run started; it
      // runs in the folder.
      const std::string here = currentfolder();
      auto absolute = [&](const std::string& file) {
        return file.empty() || file[0] == '/' ? file : here + "/" + file;
      };
      run.video = {absolute(line.video), size, line.motion, line.video, line.title, absolute(line.music)};
      run.script = {line.title, absolute(line.music)};
      status = runslideshow(run, log.stream(), std::cerr);
      if (!log.close()) {
        std::cerr << "vantrel: standard output: cannot write the log: " << log.error() << std::endl;
        status = std::max(status, runincomplete);
      } else if (status != runrefused) {
        waitforkey();
      }
    }
  }
  restoreconsole();
  return status;
}

namespace {

void sayoutofmemory() {
  restoreconsole();
  constexpr char message[] = "vantrel: out of memory\n";
  std::fwrite(message, 1, sizeof message - 1, stderr);
}

// Where memory is so short that not even the exception can be made, the
// runtime ends the program through here, with no exception or that one.
[[noreturn]] void endedbytheruntime() {
  try {
    if (const std::exception_ptr thrown = std::current_exception()) std::rethrow_exception(thrown);
  } catch (const std::bad_alloc&) {
  } catch (...) {
    std::abort();  // a fault of the program's own: as the runtime would
  }
  // The old kit is as it was; what this run wrote beside it, the next removes.
  sayoutofmemory();
  std::_Exit(runincomplete);
}

}  // namespace

int runvantrel(int argc, char** argv) noexcept {
  std::set_terminate(endedbytheruntime);
  try {
    return runcommand({argv + 1, argv + argc});
  } catch (const std::bad_alloc&) {
    // Everything the run had made is gone with its owners as the stack
    // unwound: the workers are ended, the old kit is as it was.
    sayoutofmemory();
    return runincomplete;
  }
}
