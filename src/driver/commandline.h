// The command line: vantrel [--fit] [--video FILE] [--size SIZE] [--motion]
// [--music FILE] [--title TEXT] [FOLDER], or --help, -h, --version. An option's value
// follows it as the next word, or after "=" (--video=show.mp4).
#pragma once

#include <string>
#include <vector>

extern const char versiontext[];  // "vantrel 0.1 alpha\n", for one
extern const char helptext[];     // the usage, for --help
extern const char usageline[];    // "usage: vantrel [--help] [--version] [--fit] [--video FILE] ... [FOLDER]\n"

struct commandline {
  enum class action { run, help, version, mistake } what = action::run;
  std::string folder;   // where to run: empty for the current folder
  std::string mistake;  // what was wrong with the line, in words
  bool fit = false;     // --fit: each photo whole in its true shape
  std::string video{};  // --video FILE: the show rendered into FILE
  std::string size{};   // --size SIZE: the video's frame
  bool motion = false;  // --motion: the video's slides move
  std::string music{};  // --music FILE
  std::string title{};  // --title TEXT
  bool hastitle = false;
};

// args are the words after the program's name. "--" ends the options, so a
// folder may begin with "-". Whether the folder is one is not checked here.
commandline parsecommandline(const std::vector<std::string>& args);
