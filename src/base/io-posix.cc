#include <unistd.h>

#include <cerrno>

#include "base/io.h"

int syncfile(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int closefile(int fd) { return close(fd) == 0 ? 0 : errno; }
