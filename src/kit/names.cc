#include "kit/names.h"

#include <cstdio>

const char scriptname[] = "anim.avs";
const char videoname[] = "outhuffy.avi";
static_assert(std::string_view(framepattern).substr(framehead.size(), 4) == "%04d");

std::string slidename(int slide) {
  char name[32];
  writeslidename(name, sizeof name, slide);
  return name;
}

bool writeslidename(char* buffer, size_t size, int slide, const char* before, const char* after) {
  const int n = std::snprintf(buffer, size, "%s%.*s%04d%.*s%s", before, static_cast<int>(framehead.size()),
                              framehead.data(), slide, static_cast<int>(frametail.size()), frametail.data(), after);
  return n >= 0 && static_cast<size_t>(n) < size;
}

namespace {

bool alldigits(std::string_view text) {
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  return !text.empty();
}

// Whether name is head + middle + tail, and then middle.
bool between(std::string_view name, std::string_view head, std::string_view tail, std::string_view* middle) {
  if (name.size() < head.size() + tail.size() || name.substr(0, head.size()) != head ||
      name.substr(name.size() - tail.size()) != tail)
    return false;
  *middle = name.substr(head.size(), name.size() - head.size() - tail.size());
  return true;
}

// A draft's name: the final name between these.
constexpr char drafthead[] = ".", drafttail[] = ".new";

}  // namespace

bool isslidename(std::string_view name) {
  std::string_view number;
  return between(name, framehead, frametail, &number) && number.size() >= 4 && alldigits(number);
}

const std::string draftname = std::string(drafthead) + scriptname + drafttail;
const std::string draftvideoname = std::string(drafthead) + videoname + drafttail;
const char journalname[] = ".vantrel.journal";
const char badjournalname[] = ".vantrel.journal.bad";

std::string draftframename(int slide) {
  char name[48];
  writedraftframename(name, sizeof name, slide);
  return name;
}

bool writedraftframename(char* buffer, size_t size, int slide) {
  return writeslidename(buffer, size, slide, drafthead, drafttail);
}

std::string asidename(const std::string& name) { return "." + name + ".old"; }

bool isdraftframe(std::string_view name) {
  std::string_view frame;
  return between(name, drafthead, drafttail, &frame) && isslidename(frame);
}

bool isdraft(std::string_view name) { return isdraftframe(name) || name == draftvideoname; }

std::string copyname(std::string_view name, long process, int attempt) {
  return std::string(drafthead) + std::string(name) + drafttail + std::to_string(process) + "-" +
         std::to_string(attempt);
}

bool iscopyname(std::string_view entry, std::string_view name) {
  const std::string head = std::string(drafthead) + std::string(name) + drafttail;
  std::string_view numbers;
  if (!between(entry, head, "", &numbers)) return false;
  const size_t dash = numbers.find('-');
  return dash != std::string_view::npos && alldigits(numbers.substr(0, dash)) && alldigits(numbers.substr(dash + 1));
}
