#include "worker/job.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "base/interrupt-posix.h"
#include "worker/child-linux.h"

namespace {

constexpr char programname[] = "vantrel-render";

bool executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// The child's side of the fork: the socket becomes renderchannel, standard
// input reads nothing, every other descriptor closes at the exec. What
// keeps it from the program goes back to the parent on `failed`.
[[noreturn]] void becomerender(const std::string& program, int channel, int failed, pid_t parent) noexcept {
  if (!settlechild(parent)) _exit(0);
  failed = fcntl(failed, F_DUPFD_CLOEXEC, renderchannel + 1);
  const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool ready = failed >= 0 && nothing >= 0 && dup2(nothing, 0) == 0;
  if (ready && channel == renderchannel)
    ready = fcntl(channel, F_SETFD, 0) == 0;
  else if (ready)
    ready = dup2(channel, renderchannel) == renderchannel;
  if (ready && close_range(renderchannel + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    for (int fd = renderchannel + 1; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (ready) {
    char* const argv[] = {const_cast<char*>(programname), nullptr};
    execv(program.c_str(), argv);
  }
  const int error = errno;
  if (failed >= 0) (void)!::write(failed, &error, sizeof error);
  _exit(127);
}

}  // namespace

std::string renderprogram() {
#if defined(VANTREL_TEST_RENDER_LAUNCHER)
  // A test build under qemu-user, whose render program runs through it.
  if (executable(VANTREL_TEST_RENDER_LAUNCHER)) return VANTREL_TEST_RENDER_LAUNCHER;
#endif
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string(VANTREL_RENDER_DIR) + "/" + programname;
  const std::string path(self, static_cast<size_t>(n));
  const std::string here = path.substr(0, path.rfind('/') + 1);
  const std::string beside = here + programname;
  if (executable(beside)) return beside;
  return here + VANTREL_RENDER_DIR + "/" + programname;
}

jobend runrender(const std::string& program, const renderrequest& request,
                 const std::function<bool(const renderreport&)>& onreport, const interruptguard& guard) {
  jobend end;
  int sock[2] = {-1, -1}, failed[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock) != 0 || pipe2(failed, O_CLOEXEC) != 0) {
    end.reason = std::string("cannot start it: ") + std::strerror(errno);
    for (const int fd : {sock[0], sock[1], failed[0], failed[1]})
      if (fd >= 0) ::close(fd);
    return end;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(sock[0]);
    ::close(failed[0]);
    becomerender(program, sock[1], failed[1], parent);
  }
  const int forkerror = errno;
  ::close(sock[1]);
  ::close(failed[1]);
  if (pid < 0) {
    ::close(sock[0]);
    ::close(failed[0]);
    end.reason = std::string("cannot start it: ") + std::strerror(forkerror);
    return end;
  }
  // The exec closes the pipe; a child that could not get there says why.
  int execerror = 0;
  ssize_t got;
  do got = ::read(failed[0], &execerror, sizeof execerror);
  while (got < 0 && errno == EINTR);
  ::close(failed[0]);
  if (got == sizeof execerror) {
    ::close(sock[0]);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    end.reason = std::strerror(execerror);
    return end;
  }

  // The request goes out as the socket takes it, the reports come in as
  // they come, and an interruption ends both.
  std::string rest, pending;
  // A render that will not take the request may still say why, before it
  // goes: its reports are read to their end either way.
  int error = sendrequest(sock[0], request, &rest);
  if (error != 0) rest.clear();
  bool stop = false;
  while (!stop) {
    pollfd fd{sock[0], static_cast<short>(POLLIN | (rest.empty() ? 0 : POLLOUT)), 0};
    const int n = ppoll(&fd, 1, nullptr, &interruptwait::mask(guard));
    if (guard.signal() != 0) {
      end.way = jobend::how::interrupted;
      break;
    }
    if (n <= 0) continue;
    if ((fd.revents & POLLOUT) != 0) {
      const ssize_t sent = send(sock[0], rest.data(), rest.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent > 0) rest.erase(0, static_cast<size_t>(sent));
      if (sent < 0 && errno != EAGAIN && errno != EINTR) error = errno, rest.clear();
    }
    if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[4096];
    const ssize_t got = recv(sock[0], buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    for (;;) {
      renderreport report;
      const reportparse parsed = decodereport(&pending, &report);
      if (parsed == reportparse::incomplete) break;
      if (parsed == reportparse::malformed || !onreport(report)) {
        end.way = jobend::how::untrusted;
        end.reason = "it sent what no render sends";
        stop = true;
        break;
      }
    }
  }
  ::close(sock[0]);
  if (end.way == jobend::how::interrupted || end.way == jobend::how::untrusted) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (end.way == jobend::how::interrupted || end.way == jobend::how::untrusted) return end;
  if (error != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    end.reason = std::string("cannot hand it the show: ") + std::strerror(error);
  } else if (WIFEXITED(status)) {
    end.way = jobend::how::exited;
    end.status = WEXITSTATUS(status);
  } else {
    end.way = jobend::how::crashed;
    end.reason = WIFSIGNALED(status) ? std::string("it crashed (") + strsignal(WTERMSIG(status)) + ")"
                                     : "it stopped unexpectedly";
  }
  return end;
}
