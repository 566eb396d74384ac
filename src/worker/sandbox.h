// The worker's sandbox: once a worker has set itself up, it locks itself in,
// so that a still crafted to take over the image library can do nothing but
// fail. On Linux that is no new privileges and a seccomp filter that allows
// what decoding needs: reading what it was handed, writing its replies and
// its standard error, memory, the clock, and leaving. Anything else (opening
// a file, a socket, starting a program, signalling another process) ends
// the process by SIGSYS, after a note on its reply channel (wire.h) that
// says which call it tried.
#pragma once

#include <string>

// Locks the calling process in. False, with the reason, if the system
// refuses; the caller must then not go on.
bool lockdown(std::string* reason);

// The render program's sandbox (vantrel-render, job.h), once it has set
// itself up: threads allowed, but no open, no network, no new programs. A
// forbidden call ends the process by SIGSYS after its report ("F" and the
// call's number, renderwire.h) on report. False, with the reason, if the
// system refuses.
bool lockdownrender(int report, std::string* reason);

// The name of a system call of this machine's architecture ("openat"), or
// "" for a number that names none.
std::string syscallname(long number);
