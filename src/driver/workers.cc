#include "driver/workers.h"

#include <cstdint>

#include "slide/image.h"
#include "slide/slide.h"
#include "worker/wire.h"

namespace {

// What a worker's address space holds beyond what it holds for its still:
// the program, its libraries and its stacks.
constexpr uint64_t workerheadroom = uint64_t{1} << 30;

workersettings imageworker(const char* name, slideresult (*work)(const char*, const void*, size_t, const picturewish&),
                           const picturewish& wish = {}) {
  workersettings worker;
  worker.name = name;
  worker.setup = [] {
    initimagelibrary(librarybudget);
    warmupimagelibrary();
  };
  worker.work = [work, wish](const char* still, const char* data, size_t size) {
    return work(still, data, size, wish);
  };
  worker.memorylimit = stillfootprint + workerheadroom;
  return worker;
}

}  // namespace

const workersettings& frameworker() {
  static const workersettings settings = imageworker("frame", makeframe);
  return settings;
}

const workersettings& fitframeworker() {
  static const workersettings settings = imageworker("fitframe", makefitframe);
  return settings;
}

workersettings pictureworker(bool fit, const picturewish& wish) {
  return imageworker(fit ? "fitpicture" : "picture", fit ? makefitframe : makeframe, wish);
}

const workersettings* findworker(const std::string& name) {
  for (const workersettings* w : {&frameworker(), &fitframeworker()})
    if (name == w->name) return w;
  return nullptr;
}
