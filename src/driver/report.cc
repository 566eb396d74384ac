#include "driver/report.h"

#include "base/text.h"

void reportfailure(std::ostream& log, std::ostream& err, const std::string& message) {
  log.flush();
  err << "vantrel: " << message << '\n';
  err.flush();
}

std::string workerlines(std::string_view name, const std::string& diagnostics) {
  std::string out;
  const std::string prefix = "vantrel: " + escapedname(name) + ": ";
  size_t at = 0;
  while (at < diagnostics.size()) {
    size_t end = diagnostics.find('\n', at);
    if (end == std::string::npos) end = diagnostics.size();
    out += prefix + printable(std::string_view(diagnostics).substr(at, end - at)) + '\n';
    at = end + 1;
  }
  return out;
}
