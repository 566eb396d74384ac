#include "driver/workers.h"

#include <cstdint>

#include "slide/image.h"
#include "slide/slide.h"
#include "worker/wire.h"

namespace {

// What a worker's address space holds beyond what it holds for its still:
// the program, its libraries and its stacks.
constexpr uint64_t workerheadroom = uint64_t{1} << 30;

workersettings imageworker(const char* name, slideresult (*work)(const char*, const void*, size_t)) {
  workersettings worker;
  worker.name = name;
  worker.setup = [] {
    initimagelibrary(librarybudget);
    warmupimagelibrary();
  };
  worker.work = work;
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

const workersettings* findworker(const std::string& name) {
  for (const workersettings* w : {&frameworker(), &fitframeworker()})
    if (name == w->name) return w;
  return nullptr;
}
