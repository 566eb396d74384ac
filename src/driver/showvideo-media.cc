// The video rendered with the media library (video/render.h), in a process
// of its own (worker/job.h): the builds that have it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/interrupt.h"
#include "base/text.h"
#include "driver/report.h"
#include "driver/showvideo.h"
#include "kit/folder.h"
#include "script/script.h"
#include "video/media.h"
#include "video/render.h"
#include "worker/job.h"
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
               interruptguard& guard, std::ostream& log, std::ostream& err) {
  const std::string shown = escapedname(options.shown);
  std::string why;
  if (!canrender(&why)) {
    reportfailure(log, err, "cannot render " + shown + ": " + why + "; the kit is made");
    return false;
  }
  const int slides = static_cast<int>(spans.size());
  if (slides == 0) {
    reportfailure(log, err, "cannot render " + shown + ": no slides to show; the kit is made");
    return false;
  }
  descriptors open;
  renderjob job;
  job.show = timeline(slides, rows);
  job.form = videoformof(options.file);
  job.threads = static_cast<int>(usablecpus());
  job.title = options.title;
  if (job.title.empty()) {
    const std::string here = currentfolder();
    job.title = here.substr(here.rfind('/') + 1);
  }
  // Every frame from the kit's video, through one descriptor however many
  // slides there are.
  job.source = open.add(::open(videoname, O_RDONLY | O_CLOEXEC));
  if (job.source < 0) {
    reportfailure(log, err, "cannot render " + shown + ": cannot open " + videoname + ": " + std::strerror(errno));
    return false;
  }
  for (const framespan& f : spans) job.frames.push_back({f.offset, f.size});
  bool complete = true;
  if (!options.music.empty()) {
    job.music = open.add(::open(options.music.c_str(), O_RDONLY | O_CLOEXEC));
    job.musicname = options.music;
    if (job.music < 0) {
      reportfailure(log, err,
                    escapedname(options.music) + ": cannot read: " + std::strerror(errno) + "; the video is silent");
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
  job.output = draft.fd();
  log.flush();
  err.flush();

  // The child's reports: "P<frames done>", "M<why the music is unusable>",
  // "E<why the video cannot be made>", "forbidden call <n>", one a line.
  const bool terminal = isatty(2) != 0;
  const auto started = std::chrono::steady_clock::now();
  std::string pending, failure, musicproblem;
  bool progressshown = false;
  const int total = job.show.frames();
  const std::string name = options.shown.substr(options.shown.rfind('/') + 1);
  auto onreport = [&](const std::string& chunk) {
    pending += chunk;
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      const std::string line = pending.substr(0, end);
      if (line.empty()) continue;
      if (line[0] == 'P' && terminal) {
        const int done = std::atoi(line.c_str() + 1);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double left = done > 0 && elapsed > 1 ? elapsed * (total - done) / done : -1;
        const std::string text = progressline(escapedname(name), done, total, left);
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        progressshown = true;
      } else if (line[0] == 'M') {
        musicproblem = line.substr(1);
      } else if (line[0] == 'E') {
        failure = line.substr(1);
      } else if (line.compare(0, 15, "forbidden call ") == 0) {
        failure = "the render tried a forbidden system call (" + syscallname(std::atol(line.c_str() + 15)) + ")";
      }
    }
  };
  const jobend end = runjob(
      [&](int report) {
        auto say = [report](const std::string& line) {
          const std::string text = line + "\n";
          (void)!::write(report, text.data(), text.size());
        };
        renderer render(job);
        std::string reason, music;
        if (!render.prepare(&reason)) return say("E" + reason), 2;
#if !defined(VANTREL_TEST_WITHOUT_SANDBOX)
        // (Only the test build for qemu-user, which has no seccomp, skips it.)
        if (!lockdownrender(report, &reason)) return say("E" + reason), 2;
#endif
        const bool made = render.render([&](int done) { say("P" + std::to_string(done)); }, &reason, &music);
        if (!music.empty()) say("M" + music);
        if (!made) return say("E" + reason), 2;
        return 0;
      },
      onreport, guard);
  if (progressshown) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  if (end.way == jobend::how::interrupted) return false;
  if (!musicproblem.empty()) {
    reportfailure(log, err, escapedname(options.music) + ": " + musicproblem + "; the video is silent");
    complete = false;
  }
  if (end.way != jobend::how::exited || end.status != 0) {
    if (failure.empty()) failure = end.reason.empty() ? "the render failed" : end.reason;
    reportfailure(log, err, "cannot render " + shown + ": " + escapedname(failure) + "; the kit is made");
    return false;
  }
  if (!draft.commit(&why)) {
    reportfailure(log, err, "cannot render " + shown + ": cannot put it in place: " + why + "; the kit is made");
    return false;
  }
  return complete;
}
