// The worker's sandbox: once a worker has set itself up, it locks itself in
// with no new privileges and a seccomp filter, so that a still crafted to
// take over the image library can do nothing but fail. What is allowed is
// what decoding needs: reading what it was handed, writing its replies and
// its standard error (descriptors 0 to 2), memory, the clock, and leaving.
// Anything else (opening a file, a socket, starting a program, signalling
// another process) ends the process by SIGSYS.
#pragma once

#include <string>

// Called from the SIGSYS handler with the number of the forbidden call,
// just before the process dies of it; it must be async-signal-safe.
using forbiddennote = void (*)(long syscall);

// Locks the calling process in. False, with the reason, if the kernel
// refuses; the caller must then not go on.
bool lockdown(forbiddennote note, std::string* reason);

// The name of a system call of this machine's architecture ("openat"), or
// "" for a number that names none.
std::string syscallname(long number);
