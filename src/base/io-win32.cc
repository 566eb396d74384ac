#include <io.h>

#include <cerrno>

#include "base/io.h"

int syncfile(int fd) { return _commit(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return _close(fd) == 0 ? 0 : errno; }
