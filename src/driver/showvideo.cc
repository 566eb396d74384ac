#include "driver/showvideo.h"

#include <cstdint>
#include <cstdio>

std::string progressline(const std::string& name, int done, int total, double secondsleft) {
  auto grouped = [](int n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
      if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
      out += digits[i];
    }
    return out;
  };
  const int percent = total > 0 ? static_cast<int>(int64_t{done} * 100 / total) : 100;
  std::string line = "rendering " + name + ": " + grouped(done) + " of " + grouped(total) + " frames (" +
                     std::to_string(percent) + " %)";
  if (secondsleft >= 0) {
    const long s = static_cast<long>(secondsleft + 0.5);
    char left[32];
    std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    line += std::string(", ") + left + " left";
  }
  return line;
}
