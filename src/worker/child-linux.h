// The worker's side of the process layer on Linux (child-linux.cc), as the
// driver's side (subprocess-linux.cc) starts it, and the job message the two
// ends pass on their socket.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

#include "worker/subprocess.h"

// A job on the socket: its header and name, with room for the still's
// descriptor beside them. The driver sends one, the worker receives one.
struct jobmessage {
  jobmessage(void* data, size_t size) : iov{data, size} {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
  jobmessage(const jobmessage&) = delete;
  jobmessage& operator=(const jobmessage&) = delete;

  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov;
  msghdr msg{};
};

// What every child of the driver does first, a worker or a job (job.h):
// it dies with the driver, leaves the user's interruptions to it, shows a
// crash as its signal and leaves no core file. False if the driver has
// gone already (the child then ends).
bool settlechild(pid_t parent) noexcept;

// The child's side of a fork, with the socket and the diagnostics pipe
// the driver made for it: makes the process a worker, for good. It ends in
// the worker whatever happens: nothing it throws reaches the driver's code,
// which the fork left on the stack below it.
[[noreturn]] void becomeworker(int sock, int diag, pid_t parent, const workersettings& settings) noexcept;
