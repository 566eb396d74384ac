// What each platform gives folder.cc (folder-posix.cc, folder-win32.cc):
// the few calls whose names, flags and meanings differ. Failures leave the
// reason in errno.
#pragma once

#include <cstdint>
#include <string>

#include "kit/folder.h"

// A name the platform keeps in the folder while a run holds it (the lock of
// folderlock on Windows), which the listing leaves out; "" for none.
extern const char heldname[];

// What path is, following links, and its size and time of writing;
// entrykind::none and errno when it cannot be looked at.
entrykind examine(const std::string& path, stillstamp* stamp);
// The same for what fd is open on.
entrykind examine(int fd, stillstamp* stamp);
// Opens a file for reading without blocking on it; -1 and errno if not.
int openforreading(const std::string& name);
// Creates name, which must not exist, for writing: a text file writes its
// line breaks as the platform's text files have them. -1 and errno if not.
int createnew(const std::string& name, bool text);
