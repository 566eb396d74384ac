#include "worker/job.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/interrupt-posix.h"
#include "worker/child-linux.h"

namespace {

[[noreturn]] void becomejob(const std::function<int(int)>& body, int report, pid_t parent) noexcept {
  if (!settlechild(parent)) _exit(125);
  int status = 125;
  try {
    status = body(report);
  } catch (...) {
  }
  _exit(status);
}

}  // namespace

jobend runjob(const std::function<int(int)>& body, const std::function<void(const std::string&)>& onreport,
              const interruptguard& guard) {
  jobend end;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    end.reason = std::string("cannot start the job: ") + std::strerror(errno);
    return end;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    end.reason = std::string("cannot start the job: ") + std::strerror(errno);
    ::close(p[0]);
    ::close(p[1]);
    return end;
  }
  if (pid == 0) {
    ::close(p[0]);
    becomejob(body, p[1], parent);
  }
  ::close(p[1]);
  bool interrupted = false;
  for (char buffer[4096];;) {
    pollfd fd{p[0], POLLIN, 0};
    const int n = ppoll(&fd, 1, nullptr, &interruptwait::mask(guard));
    if (guard.signal() != 0) {
      interrupted = true;
      break;
    }
    if (n < 0) continue;
    const ssize_t got = ::read(p[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    onreport(std::string(buffer, static_cast<size_t>(got)));
  }
  ::close(p[0]);
  if (interrupted) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (interrupted) {
    end.way = jobend::how::interrupted;
  } else if (WIFEXITED(status)) {
    end.way = jobend::how::exited;
    end.status = WEXITSTATUS(status);
  } else {
    end.way = jobend::how::crashed;
    end.reason = WIFSIGNALED(status) ? std::string("the render crashed (") + strsignal(WTERMSIG(status)) + ")"
                                     : "the render stopped unexpectedly";
  }
  return end;
}
