// The work a test's workers may do, by name. Where workers are fresh
// processes of the test program (Windows), a worker finds its settings here
// (testmain.cc); tests register theirs when the program starts.
#pragma once

#include <string>

#include "worker/subprocess.h"

// Registers settings under settings.name; returns true, for a static.
bool registerworkerkind(const workersettings& settings);
const workersettings* findworkerkind(const std::string& name);
