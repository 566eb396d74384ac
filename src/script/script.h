// The slide-show script "anim.avs".
//
// The file is, in this order: the header block, the source block, one clip
// line per slide (K = 1 ... N), the opening effect line, one transition line
// for each slide i = 2 ... N-1, the title card block and the end block. The
// writers below produce those pieces byte for byte on any std::ostream; the
// driver decides where the stream goes.
#pragma once

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

extern const char scriptname[];  // "anim.avs"

// The four fixed blocks. The header block ends in a single space with no
// line break, so the source block continues that line.
extern const std::string_view headerblock;
extern const std::string_view sourceblock;
extern const std::string_view titleblock;
extern const std::string_view endblock;
extern const std::string_view openingeffectline;

// Row r (1 ... 23) of the transition table is transitions[r - 1]; a line is
// prefix, slide number, suffix.
struct transition {
  std::string_view prefix;
  std::string_view suffix;
};
extern const std::array<transition, 23> transitions;

// Header block, then source block.
void writescriptopening(std::ostream& out);

// "video<K>=video.trim(exposition*<K-1>,exposition*<K>-1)\n"
void writeclipline(std::ostream& out, int slide);

// The opening effect line, then for i = 2 while i < count - 1 one transition
// line with row draw() % 23 + 1. count is the slide counter after the last
// slide (slides + 1). draw must return non-negative values, as rand() does.
void writetransitionchain(std::ostream& out, int count, const std::function<int()>& draw);

// Seeds rand() with the current time once, then writes the chain with rand().
void writetransitionchain(std::ostream& out, int count);

// Title card block, then end block.
void writescriptclosing(std::ostream& out);
