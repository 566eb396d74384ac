#include "driver/commit.h"

#include "base/text.h"
#include "driver/report.h"
#include "kit/folder.h"
#include "script/script.h"
#include "worker/wire.h"

commitment commitslide(int& counter, const std::string& name, const slideresult& made, const std::string& diagnostics,
                       const slidestreams& out, kit& frames, picturestore* pictures, std::string* failure) {
  out.log << "processimage:" << (out.escapelog ? escapedname(name) : name) << '\n';
  if (!diagnostics.empty()) {
    out.log.flush();
    out.err << workerlines(name, diagnostics);
    out.err.flush();
  }
  // Out of memory on a still whose picture the library's budget holds is
  // no fault of the still's: the run was given less memory than the budget
  // (a limit set below it), and every other still would fare the same.
  const bool runoutofmemory = made.reason == outofmemory && uint64_t{made.width} * made.height * 4 <= librarybudget;
  auto fail = [&](const std::string& what) {
    if (runoutofmemory) {
      *failure = escapedname(name) + ": " + what;
      return commitment::stopped;
    }
    reportfailure(out.log, out.err, escapedname(name) + ": " + what);
    return commitment::skipped;
  };
  switch (made.state) {
    case slidestate::unloadable: return fail("cannot load: " + made.reason);
    case slidestate::toolarge:
      return fail("cannot load: too large: " + std::to_string(made.width) + " \u00d7 " + std::to_string(made.height) +
                  " pixels");
    default: break;
  }
  out.log << "ht=" << made.height << '\n' << "wd=" << made.width << '\n';
  out.log.flush();
  if (made.state == slidestate::unscalable) return fail("cannot scale: " + made.reason);
  if (made.state != slidestate::framed) return fail("cannot save " + slidename(counter) + ": " + made.reason);
  // The picture of a video of its own size: the one asked for, or none.
  if (pictures && !pictures->expected(made)) return fail("cannot load: the worker sent a malformed reply");
  if (!pictures && !made.picture.empty()) return fail("cannot load: the worker sent a malformed reply");
  if (!frames.addframe(counter, made.jpeg, failure)) return commitment::stopped;
  if (pictures) pictures->add(made);
  ++counter;
  return commitment::slide;
}
