// Every name of the kit, made and read here alone: the script's, the
// video's and the frames' (which the script's text speaks of), and the
// temporary names a run writes under and a commit leaves while it runs: the
// drafts, the old files moved aside, the journal and a journal set aside;
// and the name a file written elsewhere (the rendered video) has until it
// is whole. Nothing here touches a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The kit's own names.
extern const char scriptname[];  // "anim.avs"
extern const char videoname[];   // "outhuffy.avi"
// A frame's file name: framepattern, as the script's fname line has it,
// with the slide number (at least four digits) in place of its "%04d":
// framehead, the number, frametail ("out0001.jpg").
constexpr char framepattern[] = "out%04d.jpg";
constexpr std::string_view framehead =
    std::string_view(framepattern).substr(0, std::string_view(framepattern).find('%'));
constexpr std::string_view frametail = std::string_view(framepattern).substr(framehead.size() + 4);
std::string slidename(int slide);
// The same, between before and after, written into buffer[0, size) with
// nothing allocated (for a run whose memory has run out). False where it
// does not fit.
bool writeslidename(char* buffer, size_t size, int slide, const char* before = "", const char* after = "");
// Whether name is a frame's file name.
bool isslidename(std::string_view name);

// The temporary names, built from the kit's own: the script's and a
// frame's until the run commits, the video's, an old file's while it is
// moved aside, the journal's, and a journal's that could not be used.
extern const std::string draftname;       // ".anim.avs.new"
extern const std::string draftvideoname;  // ".outhuffy.avi.new"
extern const char journalname[];          // ".vantrel.journal"
extern const char badjournalname[];       // ".vantrel.journal.bad"
std::string draftframename(int slide);    // ".out0001.jpg.new"
// The same into buffer[0, size), with nothing allocated (writeslidename).
bool writedraftframename(char* buffer, size_t size, int slide);
std::string asidename(const std::string& name);  // "." + name + ".old"
// Whether name is a frame's or the video's temporary name, as a run that
// died before its commit leaves them.
bool isdraftframe(std::string_view name);
bool isdraft(std::string_view name);

// The temporary copy of a file written whole elsewhere, before it takes
// the file's name: "." + name + ".new" + process + "-" + attempt, beside it
// (".show.mp4.new283-0"), made by copyname alone. iscopyname, the one
// reader of that pattern, says whether entry is such a copy of name, as a
// run cut short leaves it.
std::string copyname(std::string_view name, long process, int attempt);
bool iscopyname(std::string_view entry, std::string_view name);
