#include "workerkinds.h"

#include <map>

namespace {

std::map<std::string, workersettings>& kinds() {
  static std::map<std::string, workersettings> registered;
  return registered;
}

}  // namespace

bool registerworkerkind(const workersettings& settings) {
  kinds()[settings.name] = settings;
  return true;
}

const workersettings* findworkerkind(const std::string& name) {
  const auto it = kinds().find(name);
  return it == kinds().end() ? nullptr : &it->second;
}
