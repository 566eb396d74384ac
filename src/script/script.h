// src/script/ (this folder): the text of anim.avs (script.h), which speaks
// of the kit's files by their names (kit/names.h), and the show's timeline,
// which the script and the rendered video share, with the slides' motions
// (timeline.h). No file is opened here.
//
// The slide-show script "anim.avs".
//
// The file is, in this order: the header block, the source block, one clip
// line per slide (K = 1 ... N), the opening effect line, one transition line
// for each slide i = 2 ... N, the title card block and the end block. The
// number of slides N stands in the header and in the source block, so the
// script is written once the run knows it. The writers below produce those
// pieces byte for byte on any std::ostream; the driver decides where the
// stream goes.
//
// Rendered, the script shows the title card, then slides 1 ... N in order,
// each held for `exposition` frames (less the overlaps of the transitions
// into and out of it), with a transition between every two.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kit/names.h"

// The script names the frames (its fname line) and the video (its source
// line) by the kit's names, which are kit/names.h's.

// The header block, with the number of slides on its "n=" line, and the
// source block, which cuts the video after the last slide: a script of no
// slides has 50 and 89 there. The header block ends in a single space with
// no line break, so the source block continues that line.
std::string headerblock(int slides);
std::string sourceblock(int slides);
// The fixed blocks at the end, and the line that opens the show.
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

// Header block, then source block, for a script of `slides` slides.
void writescriptopening(std::ostream& out, int slides);

// "video<K>=video.trim(exposition*<K-1>,exposition*<K>-1)\n"
void writeclipline(std::ostream& out, int slide);

// The opening effect line, then for i = 2 while i < count one transition
// line with row draw() % 23 + 1, so that every slide after the first is
// chained. count is the slide counter after the last slide (slides + 1).
// draw must return non-negative values, as rand() does.
void writetransitionchain(std::ostream& out, int count, const std::function<int()>& draw);

// The same with the rows given: rows[j] is the row of the line for slide j + 2.
void writetransitionchain(std::ostream& out, const std::vector<int>& rows);

// Title card block, then end block.
void writescriptclosing(std::ostream& out);

// What a run may put in the script in place of its placeholders: the
// title card's text (its lines as titlelines() wraps them) and the music
// file's path. Empty: the placeholder, as the blocks above have it.
struct scriptoptions {
  std::string title;
  std::string music;
};

// The text as one AviSynth string expression: quoted pieces, a double
// quote as Chr(34) between them, and line breaks as Subtitle's \n.
std::string avisynthstring(std::string_view text);
// The source block and the title card block with the options in place.
std::string sourceblock(int slides, const scriptoptions& options);
std::string titlecardblock(const scriptoptions& options);

// The whole script of `slides` slides, its rows drawn with draw.
void writescript(std::ostream& out, int slides, const std::function<int()>& draw);
// The whole script with the rows given (drawrows) and the options.
void writescript(std::ostream& out, int slides, const std::vector<int>& rows, const scriptoptions& options = {});
// The rows of a script of `slides` slides, drawn with rand() seeded with
// the current time, once a run.
std::vector<int> drawrowsnow(int slides);
// The whole script, its rows drawn with drawrowsnow.
void writescript(std::ostream& out, int slides);
