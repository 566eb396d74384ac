// Reading and writing whole buffers through descriptors, and the end of a
// file written: what the driver, the workers and the tests all need, the
// same on every platform. Failures come back as the errno of the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What one read or write through a descriptor moves at most, where the
// tool picks: buffers, pipes, the chunks of a drain.
constexpr size_t iochunk = size_t{64} << 10;

// Writes all of data to the descriptor fd (a socket, a pipe or a file),
// going on after partial writes and interruptions. Returns 0, or the errno
// of the failure.
int writeall(int fd, const void* data, size_t size);
// Reads exactly size bytes; false at an error or the end of input.
bool readall(int fd, void* data, size_t size);

// Where some bytes lie in a file: a frame in the kit's video, say.
struct filespan {
  uint64_t offset;
  uint32_t size;
};

// Reads exactly size bytes from offset on, leaving fd's offset as it is
// where the platform can (io-posix.cc, io-win32.cc); false at an error or
// the end of the file.
bool readallat(int fd, uint64_t offset, void* data, size_t size);

// Reads at most size bytes from offset on, leaving fd's offset as it is
// where the platform can; *got is how many came, 0 at the end of the file.
// Returns 0, or the errno of the failure.
int readat(int fd, uint64_t offset, void* data, size_t size, size_t* got);

// Writes all of data at offset on, going on after partial writes and
// interruptions, leaving fd's offset as it is where the platform can.
// Returns 0, or the errno of the failure.
int writeallat(int fd, uint64_t offset, const void* data, size_t size);

// The size of the file open on fd, in *size, fd's offset left where it
// was; 0, or the errno of the failure.
int filesize(int fd, uint64_t* size);

// Moves fd's offset to `offset` bytes from the file's start (io-posix.cc,
// io-win32.cc); 0, or the errno of the failure.
int seekto(int fd, uint64_t offset);

// Writes what a descriptor holds through to the disk (io-posix.cc,
// io-win32.cc), and closes it; 0, or the errno of the failure.
int syncfile(int fd);
int closefile(int fd);

// Opens path for reading only if it is a regular file (or a link to one),
// and never waits on what it opens (io-posix.cc, io-win32.cc): a FIFO, a
// device or a folder is refused as it is, not opened to wait on a writer
// or a device. The descriptor reads as any other (it blocks nowhere: a
// regular file). Returns it, or -1 with *reason in words: the system's,
// or "not a regular file".
int openregular(const std::string& path, std::string* reason);

// 0 if path is a folder this process may make files in (io-posix.cc,
// io-win32.cc), or the errno of why not: ENOTDIR where it is no folder.
int writablefolder(const std::string& path);
