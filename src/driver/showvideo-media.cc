// The video rendered by the render program (vantrel-render, worker/job.h),
// started for it alone: the builds that have it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/interrupt.h"
#include "base/io.h"
#include "base/text.h"
#include "driver/pictures.h"
#include "driver/report.h"
#include "driver/showvideo.h"
#include "kit/folder.h"
#include "script/script.h"
#include "script/timeline.h"
#include "worker/job.h"
#include "worker/renderwire.h"
#include "worker/sandbox.h"
#include "worker/subprocess.h"

std::string videoproblem(const std::string& file) {
  if (videoformof(file) == videoform::none) return std::string("a video is ") + videoforms;
  return "";
}

namespace {

// The descriptors of a run's render, closed when it goes.
struct descriptors {
  std::vector<int> fds;
  ~descriptors() {
    for (int fd : fds) ::close(fd);
  }
  int add(int fd) {
    if (fd >= 0) fds.push_back(fd);
    return fd;
  }
};

}  // namespace

bool makevideo(const videooptions& options, const std::vector<framespan>& spans, const std::vector<int>& rows,
               const std::vector<slidemotion>& motions, const picturestore* pictures, interruptguard& guard,
               std::ostream& log, std::ostream& err) {
  const std::string shown = escapedname(options.shown);
  const int slides = static_cast<int>(spans.size());
  if (slides == 0) {
    reportfailure(log, err, "cannot render " + shown + ": no slides to show; the kit is made");
    return false;
  }
  if (pictures && (!pictures->failure().empty() || pictures->spans().size() != spans.size())) {
    reportfailure(
        log, err,
        "cannot render " + shown + ": " +
            (pictures->failure().empty() ? std::string("its pictures are not all there") : pictures->failure()) +
            "; the kit is made");
    return false;
  }
  descriptors open;
  renderrequest request;
  request.rows = rows;
  request.size = options.size;
  request.motion = options.motion;
  request.motions = motions;
  if (pictures) {
    request.pictures = pictures->spans();
    request.picturesource = pictures->fd();
  }
  request.form = videoformof(options.file);
  request.threads = static_cast<int>(std::min<unsigned>(usablecpus(), threadlimit));
  request.title = options.title;
  if (request.title.empty()) {
    const std::string here = currentfolder();
    request.title = here.substr(here.rfind('/') + 1);
  }
  // Every frame from the kit's video, through one descriptor however many
  // slides there are.
  std::string why;
  request.source = open.add(openregular(videoname, &why));
  if (request.source < 0) {
    reportfailure(log, err, "cannot render " + shown + ": cannot open " + videoname + ": " + why);
    return false;
  }
  request.spans = spans;
  bool complete = true;
  if (!options.music.empty()) {
    request.music = open.add(openregular(options.music, &why));  // never waited on, were it a FIFO now
    request.musicname = options.music;
    if (request.music < 0) {
      reportfailure(log, err, escapedname(options.music) + ": cannot read: " + why + "; the video is silent");
      complete = false;
    }
  }
  // What a run cut short left beside the video goes first.
  const std::string shownfolder = options.shown.substr(0, options.shown.rfind('/') + 1);
  for (const std::string& left : removeleftcopies(options.file))
    reportfailure(log, err,
                  "removed " + escapedname(shownfolder + left) + ", a copy of " + shown + " that an earlier run left");
  draftfile draft(options.file);
  if (draft.fd() < 0) {
    reportfailure(log, err, "cannot render " + shown + ": cannot create it: " + draft.error() + "; the kit is made");
    return false;
  }
  request.output = draft.fd();
  log.flush();
  err.flush();

  const bool terminal = isatty(2) != 0;
  const auto started = std::chrono::steady_clock::now();
  std::string failure, musicproblem;
  bool progressshown = false;
  const int total = timeline(slides, rows).frames();
  int done = 0;
  const std::string name = options.shown.substr(options.shown.rfind('/') + 1);
  auto onreport = [&](const renderreport& report) {
    switch (report.what) {
      case renderreport::kind::progress:
        // Frames done only rise, and never past the show's.
        if (report.number < static_cast<uint64_t>(done) || report.number > static_cast<uint64_t>(total)) return false;
        done = static_cast<int>(report.number);
        if (terminal) {
          const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
          const double left = done > 0 && elapsed > 1 ? elapsed * (total - done) / done : -1;
          const std::string text = progressline(escapedname(name), done, total, left);
          std::fprintf(stderr, "\r%s\033[K", text.c_str());
          std::fflush(stderr);
          progressshown = true;
        }
        break;
      case renderreport::kind::music: musicproblem = report.text; break;
      case renderreport::kind::failure: failure = report.text; break;
      case renderreport::kind::forbidden: {
        const std::string call = syscallname(static_cast<long>(std::min<uint64_t>(report.number, 4096)));
        failure = "the render tried a forbidden system call" + (call.empty() ? std::string() : " (" + call + ")");
        break;
      }
    }
    return true;
  };
  const std::string program = renderprogram();
  const jobend end = runrender(program, request, onreport, guard);
  if (progressshown) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  if (end.way == jobend::how::interrupted) return false;
  if (!musicproblem.empty()) {
    reportfailure(log, err, escapedname(options.music) + ": " + musicproblem + "; the video is silent");
    complete = false;
  }
  if (end.way == jobend::how::failed) {
    reportfailure(log, err,
                  "cannot render " + shown + ": " + escapedname(program) + ": " + end.reason + "; the kit is made");
    return false;
  }
  if (end.way != jobend::how::exited || end.status != 0) {
    // What the render said, or what became of the program.
    if (end.way == jobend::how::untrusted || failure.empty())
      failure = escapedname(program) + ": " +
                (end.reason.empty() ? "it failed (status " + std::to_string(end.status) + ")" : end.reason);
    reportfailure(log, err, "cannot render " + shown + ": " + failure + "; the kit is made");
    return false;
  }
  if (!draft.commit(&why)) {
    reportfailure(log, err, "cannot render " + shown + ": cannot put it in place: " + why + "; the kit is made");
    return false;
  }
  return complete;
}
