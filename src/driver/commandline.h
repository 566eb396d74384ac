// The command line: vantrel [--fit] [FOLDER], or --help, -h, --version.
#pragma once

#include <string>
#include <vector>

extern const char versiontext[];  // "vantrel 0.1 alpha\n", for one
extern const char helptext[];     // the usage, for --help
extern const char usageline[];    // "usage: vantrel [--help] [--version] [--fit] [FOLDER]\n"

struct commandline {
  enum class action { run, help, version, mistake } what = action::run;
  std::string folder;   // where to run: empty for the current folder
  std::string mistake;  // what was wrong with the line, in words
  bool fit = false;     // --fit: each photo whole in its true shape
};

// args are the words after the program's name. "--" ends the options, so a
// folder may begin with "-". Whether the folder is one is not checked here.
commandline parsecommandline(const std::vector<std::string>& args);
