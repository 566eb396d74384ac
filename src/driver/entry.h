// The process: the command line, the run with its log on standard output,
// the wait for a key, and what happens when memory runs out. main is
// runvantrel.
#pragma once

#include <string>
#include <vector>

// The whole program, given the words after its name: the command line, the
// run with its log on standard output, and the wait for a key at the end
// of a run that got past opening its folder, unless the log could not be
// written (then nobody saw the prompt). Returns the exit status.
int runcommand(const std::vector<std::string>& args);

// main's: runcommand on the words after the program's name. Running out of
// memory anywhere says "vantrel: out of memory" and ends with status 2,
// the old kit as it was.
int runvantrel(int argc, char** argv) noexcept;
