// Fuzz target: the driver's side of the wire, where everything a worker
// sends arrives. A worker can be taken over by a crafted still, so it may
// send anything at all, in any split into reads. Whatever it sends, the
// pool must give every still exactly one result, in list order (or stop
// the run, when no worker is left that can start), never a frame that is
// not one whole JPEG within the bound, never a reason a terminal would act
// on, and must end every worker it started.
//
// The input: a byte for the number of workers and one for the number of
// stills, then one record for each worker the pool starts, in turn:
//   u16 length, u8 read size (0: all at once), length bytes it sends
// A worker with no record left cannot be started.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/interrupt.h"
#include "fakeworkers.h"
#include "worker/pool.h"

namespace {

struct records {
  const uint8_t* at;
  size_t left;

  std::optional<fakeoutput> next() {
    if (left < 3) return std::nullopt;
    const size_t length = std::min<size_t>(at[0] | at[1] << 8, left - 3);
    const size_t piece = at[2];
    fakeoutput out{std::string(reinterpret_cast<const char*>(at + 3), length), {}, true};
    if (piece > 0)
      for (size_t sent = 0; sent < length; sent += piece) out.reads.push_back(piece);
    at += 3 + length;
    left -= 3 + length;
    return out;
  }
};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  poolsettings settings;
  settings.workers = 1 + data[0] % 3;
  settings.deadline = std::chrono::milliseconds(2);
  const size_t stills = 1 + data[1] % 12;
  records input{data + 2, size - 2};
  fakeworkers fakes([&](size_t) { return input.next(); });

  size_t committed = 0;
  {
    interruptguard guard;
    workerpool pool(settings, fakes, guard);
    const workerpool::end end = pool.run(
        stills,
        [](size_t i, stilljob* job, slideresult*) {
          *job = stilljob("DSC" + std::to_string(i) + ".JPG", -1, 0);
          return true;
        },
        [&](size_t i, slideresult&& r, const std::string&) {
          check(i == committed++);
          check(static_cast<uint32_t>(r.state) <= static_cast<uint32_t>(slidestate::unencodable));
          if (r.state == slidestate::framed) {
            check(r.jpeg.size() >= 4 && r.jpeg.size() <= framelimit);
            check(r.jpeg.compare(0, 2, "\xff\xd8") == 0 && r.jpeg.compare(r.jpeg.size() - 2, 2, "\xff\xd9") == 0);
          } else {
            check(r.jpeg.empty());
          }
          for (char c : r.reason) check(c >= 0x20 && c <= 0x7e);
        });
    check(end == workerpool::end::finished || (end == workerpool::end::failed && !pool.failure().empty()));
    check(end == workerpool::end::failed || committed == stills);
  }
  check(fakes.alive == 0);
  return 0;
}
