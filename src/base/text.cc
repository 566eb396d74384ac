#include "base/text.h"

#include <cstdint>
#include <cstdio>

std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

namespace {

// The invisible format characters (Unicode's category Cf: bidirectional
// controls, zero-width characters, tags ...), and the line and paragraph
// separators: shown as they are, they can reorder or hide what a line says.
constexpr struct {
  uint32_t first, last;
} invisible[] = {{0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},     {0x6dd, 0x6dd},     {0x70f, 0x70f},
                 {0x890, 0x891},     {0x8e2, 0x8e2},     {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},
                 {0x2060, 0x2064},   {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd},
                 {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0001, 0xe0001},
                 {0xe0020, 0xe007f}};

bool isinvisible(uint32_t point) {
  for (const auto& range : invisible)
    if (point >= range.first && point <= range.last) return true;
  return false;
}

// The length of the UTF-8 sequence at text[0], or 0 if there is none. Code
// points of C1 (U+0080 ... U+009F) count as none, as do the invisible ones:
// terminals act on them.
size_t utf8length(std::string_view text) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = b(0);
  size_t length;
  uint32_t point;
  if (lead >= 0xc2 && lead <= 0xdf)
    length = 2, point = lead & 0x1f;
  else if (lead >= 0xe0 && lead <= 0xef)
    length = 3, point = lead & 0x0f;
  else if (lead >= 0xf0 && lead <= 0xf4)
    length = 4, point = lead & 0x07;
  else
    return 0;
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((b(i) & 0xc0) != 0x80) return 0;
    point = point << 6 | (b(i) & 0x3f);
  }
  const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  const bool invalid = point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) || point <= 0x9f;
  return overlong || invalid || isinvisible(point) ? 0 : length;
}

}  // namespace

std::string escapedname(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (const size_t n = utf8length(name.substr(i))) {
        out.append(name.substr(i, n));
        i += n;
        continue;
      }
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: {
        char code[8];
        std::snprintf(code, sizeof code, c < 0x80 ? "\\%03o" : "\\x%02x", c);
        out += code;
      }
    }
    ++i;
  }
  return out;
}
