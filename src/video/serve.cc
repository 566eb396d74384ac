#include "video/serve.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "video/render.h"
#include "worker/renderwire.h"
#include "worker/sandbox.h"

namespace {

void say(int channel, const renderreport& report) {
  const std::string line = encodereport(report);
  (void)!::write(channel, line.data(), line.size());
}

void fail(int channel, const std::string& why) {
  renderreport report;
  report.what = renderreport::kind::failure;
  report.text = why;
  say(channel, report);
}

}  // namespace

int serverender(int channel) {
  // Every thread of the render (the encoder's among them) allocates from
  // the one heap: the C library reads a file under /proc the first time it
  // shrinks the heap of a thread's own, an open the sandbox forbids.
  mallopt(M_ARENA_MAX, 1);
  renderrequest request;
  std::string why;
  if (!receiverequest(channel, &request, &why)) {
    std::fprintf(stderr, "vantrel-render: %s; it renders the video of a vantrel --video run, which starts it\n",
                 why.c_str());
    fail(channel, why);
    return 125;
  }
  renderjob job;
  static_cast<renderrequest&>(job) = std::move(request);
  job.show = timeline(static_cast<int>(job.spans.size()), job.rows);
  renderer render(job);
  if (!render.prepare(&why)) return fail(channel, why), 2;
#if !defined(VANTREL_TEST_WITHOUT_SANDBOX)
  // (Only the test build for qemu-user, which has no seccomp, skips it.)
  if (!lockdownrender(channel, &why)) return fail(channel, "cannot enter the sandbox: " + why), 2;
#endif
  std::string music;
  const bool made = render.render(
      [&](int done) {
        renderreport report;
        report.what = renderreport::kind::progress;
        report.number = static_cast<uint64_t>(done);
        say(channel, report);
      },
      &why, &music);
  if (!music.empty()) {
    renderreport report;
    report.what = renderreport::kind::music;
    report.text = music;
    say(channel, report);
  }
  if (!made) return fail(channel, why), 2;
  return 0;
}
