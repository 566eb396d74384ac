#include "driver/commit.h"

#include "driver/folder.h"
#include "script/script.h"

bool processimage(int& counter, const char* name, const slideresult& made, const slidestreams& out,
                  std::string* failure) {
  out.log << "processimage:" << name << '\n';
  switch (made.state) {
    case slidestate::unloadable:
      *failure = std::string(name) + ": cannot load: " + made.reason;
      return false;
    case slidestate::toolarge:
      *failure = std::string(name) + ": cannot load: too large: " + std::to_string(made.width) + " \u00d7 " +
                 std::to_string(made.height) + " pixels";
      return false;
    default:
      break;
  }
  out.log << "ht=" << made.height << '\n' << "wd=" << made.width << '\n';
  out.log.flush();
  if (made.state == slidestate::unscalable) {
    *failure = std::string(name) + ": cannot scale: " + made.reason;
    return false;
  }
  const std::string output = slidename(counter);
  std::string reason = made.reason;
  if (made.state != slidestate::framed || !writeframe(output, made.jpeg, &reason)) {
    *failure = output + ": cannot save: " + reason;
    return false;
  }
  writeclipline(out.script, counter);
  ++counter;
  return true;
}
