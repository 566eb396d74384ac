#include "script/timeline.h"

#include <algorithm>
#include <stdexcept>

int transitionframes(int row) {
  if (row == 12 || row == 13) return showoverlap / 3;
  if (row == 14) return 3 * showrate;
  return showoverlap;
}

std::vector<int> drawrows(int slides, const std::function<int()>& draw) {
  std::vector<int> rows;
  for (int i = 2; i <= slides; ++i) rows.push_back(draw() % 23 + 1);
  return rows;
}

std::vector<slidemotion> drawmotions(int slides, const std::function<int()>& draw) {
  std::vector<slidemotion> motions;
  for (int i = 1; i <= slides; ++i) {
    const int kind = draw() % motionkinds, direction = draw() % motiondirections;
    motions.push_back({static_cast<slidemotion::kind>(kind), static_cast<uint8_t>(direction)});
  }
  return motions;
}

timeline::timeline(int slides, std::vector<int> rows) : slides_(slides), rows_(std::move(rows)) {
  if (slides < 0 || rows_.size() != static_cast<size_t>(slides > 0 ? slides - 1 : 0))
    throw std::invalid_argument("a timeline of " + std::to_string(slides) + " slides and " +
                                std::to_string(rows_.size()) + " rows");
  for (int row : rows_)
    if (row < 1 || row > 23) throw std::invalid_argument("no row " + std::to_string(row));
  int at = 0;
  for (int part = 0; part <= slides_; ++part) {
    starts_.push_back(at);
    at += hold(part) - overlapafter(part);
  }
  frames_ = slides_ == 0 ? 0 : at;
}

int timeline::hold(int part) const { return part == 0 ? titleframes : part == 1 ? 2 * showexposition : showexposition; }

int timeline::overlapafter(int part) const {
  if (part >= slides_) return 0;
  return part == 0 ? titledissolve : transitionframes(rows_[static_cast<size_t>(part - 1)]);
}

timeline::moment timeline::at(int frame) const {
  if (frame < 0 || frame >= frames_) throw std::out_of_range("frame " + std::to_string(frame));
  // The last part that has started; parts overlap only their neighbours.
  int part = slides_;
  while (starts_[static_cast<size_t>(part)] > frame) --part;
  moment m;
  const int into = frame - starts_[static_cast<size_t>(part)];
  if (part > 0 && into < overlapafter(part - 1)) {
    m.part = part - 1;
    m.partframe = frame - starts_[static_cast<size_t>(part - 1)];
    m.step = into;
    m.steps = overlapafter(part - 1);
    m.row = part - 1 == 0 ? 0 : rows_[static_cast<size_t>(part - 2)];
  } else {
    m.part = part;
    m.partframe = into;
  }
  return m;
}

namespace {

// The length of the UTF-8 sequence that starts with c (1 for a stray byte).
size_t sequencelength(unsigned char c) { return c >= 0xf0 && c < 0xf8 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1; }

}  // namespace

std::vector<std::string> titlelines(std::string_view text, size_t width) {
  // Characters, each one UTF-8 sequence; a line break stands alone.
  std::vector<std::vector<std::string>> paragraphs(1);
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      paragraphs.emplace_back();
      ++i;
      continue;
    }
    const size_t n = std::min(sequencelength(c), text.size() - i);
    paragraphs.back().push_back(c < 0x20 || c == 0x7f ? std::string(" ") : std::string(text.substr(i, n)));
    i += n;
  }
  std::vector<std::string> lines;
  for (const auto& chars : paragraphs) {
    size_t at = 0;
    do {
      size_t end = std::min(chars.size(), at + width);
      if (end < chars.size()) {
        // Back to the last space in reach, if there is one.
        size_t space = end;
        while (space > at && chars[space] != " ") --space;
        if (space > at) end = space;
      }
      std::string line;
      for (size_t i = at; i < end; ++i) line += chars[i];
      while (!line.empty() && line.back() == ' ') line.pop_back();
      while (!line.empty() && line.front() == ' ') line.erase(0, 1);
      lines.push_back(line);
      at = end;
      while (at < chars.size() && chars[at] == " ") ++at;
    } while (at < chars.size());
  }
  return lines;
}
