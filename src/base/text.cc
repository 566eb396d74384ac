#include "base/text.h"

std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}
