// The process layer on Linux, the driver's side: each worker is a fork of
// the driver, talking over a socket pair (descriptor 0 in the worker), with
// its standard error on a pipe of its own. A still travels as an open
// descriptor beside its job (SCM_RIGHTS) and the worker maps it, so no byte
// of it is copied. The worker's side is child-linux.cc.
#include "worker/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "base/interrupt-posix.h"
#include "base/io.h"
#include "worker/child-linux.h"
#include "worker/wire.h"

namespace {

std::string deathreason(int status) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) return forbiddenreason;
  // Only another process, or the kernel out of memory, sends it.
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return "the worker was killed (Killed)";
  if (WIFSIGNALED(status)) return std::string("the image library crashed (") + strsignal(WTERMSIG(status)) + ")";
  if (WIFEXITED(status))
    return "the worker stopped unexpectedly (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
  return "the worker stopped unexpectedly";
}

// Appends at most limit bytes from a non-blocking descriptor; false at its end.
bool drain(int fd, std::string* into, size_t limit) {
  char chunk[iochunk];
  while (limit > 0) {
    const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit));
    if (n > 0) {
      into->append(chunk, static_cast<size_t>(n));
      limit -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
  return true;
}

class posixsubprocess : public subprocess {
 public:
  posixsubprocess(pid_t pid, int sock, int diag) : pid_(pid), sock_(sock), diag_(diag) {
    if (clock_getcpuclockid(pid, &clock_) != 0) clock_ = -1;
  }
  ~posixsubprocess() override {
    try {
      end();
    } catch (...) {  // out of memory for its words: it is ended all the same
    }
    ::close(sock_);
    ::close(diag_);
  }

  bool send(const stilljob& job) override {
    const jobheader header{job.size(), job.name().size()};
    std::string payload(reinterpret_cast<const char*>(&header), sizeof header);
    payload += job.name();
    jobmessage message(payload.data(), payload.size());
    cmsghdr* c = CMSG_FIRSTHDR(&message.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = job.fd();
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    // An idle worker's socket is empty, so a job this small goes out whole.
    ssize_t n;
    do n = sendmsg(sock_, &message.msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(payload.size());
  }

  bool read(std::string* replies, size_t limit, std::string* diagnostics) override {
    if (diagopen_) diagopen_ = drain(diag_, diagnostics, 64 << 10);
    return drain(sock_, replies, limit);
  }

  std::chrono::nanoseconds cputime() override {
    timespec used{};
    if (pid_ <= 0 || clock_ == -1 || clock_gettime(clock_, &used) != 0) return std::chrono::nanoseconds(0);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
  }

  std::string end() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      pid_t waited;
      while ((waited = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
      }
      const bool reaped = waited == pid_;
      pid_ = -1;  // gone, whatever its words cost
      how_ = reaped ? deathreason(status) : "the worker stopped unexpectedly";
    }
    return how_;
  }

  int id() const override { return pid_; }
  int socket() const { return sock_; }
  // The diagnostics pipe, or -1 once it has ended (poll passes over it).
  int diagnostics() const { return diagopen_ ? diag_ : -1; }

 private:
  pid_t pid_;
  int sock_, diag_;
  clockid_t clock_;
  bool diagopen_ = true;
  std::string how_;
};

class posixsubprocessset : public subprocessset {
 public:
  posixsubprocessset(workersettings settings, const interruptguard& guard, std::function<void()> beforestart)
      : settings_(std::move(settings)), guard_(guard), beforestart_(std::move(beforestart)) {}

  std::unique_ptr<subprocess> start(std::string* reason) override {
    int s[2], d[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) return failed(reason);
    if (pipe2(d, O_CLOEXEC) != 0) {
      closeboth(s);
      return failed(reason);
    }
    if (beforestart_) beforestart_();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      closeboth(s);
      closeboth(d);
      return failed(reason);
    }
    if (pid == 0) becomeworker(s[1], d[1], parent, settings_);
    ::close(s[1]);
    ::close(d[1]);
    fcntl(s[0], F_SETFL, O_NONBLOCK);
    fcntl(d[0], F_SETFL, O_NONBLOCK);
    return std::make_unique<posixsubprocess>(pid, s[0], d[0]);
  }

  waitstatus wait(const std::vector<subprocess*>& running, std::optional<std::chrono::nanoseconds> timeout,
                  std::vector<size_t>* ready, std::string* reason) override {
    std::vector<pollfd> fds;
    for (subprocess* p : running) {
      const auto* w = static_cast<posixsubprocess*>(p);
      fds.push_back({w->socket(), POLLIN, 0});
      fds.push_back({w->diagnostics(), POLLIN, 0});
    }
    timespec limit{};
    if (timeout) {
      const auto left = std::max(std::chrono::nanoseconds(0), *timeout);
      limit.tv_sec = static_cast<time_t>(left.count() / 1000000000);
      limit.tv_nsec = static_cast<long>(left.count() % 1000000000);
    }
    const int n = ppoll(fds.data(), fds.size(), timeout ? &limit : nullptr, &interruptwait::mask(guard_));
    if (guard_.signal() != 0) return waitstatus::interrupted;
    if (n < 0 && errno != EINTR) {
      *reason = std::string("cannot wait for the workers: ") + std::strerror(errno);
      return waitstatus::failed;
    }
    for (size_t i = 0; i < running.size(); ++i)
      if (fds[2 * i].revents != 0 || fds[2 * i + 1].revents != 0) ready->push_back(i);
    return ready->empty() ? waitstatus::timedout : waitstatus::ready;
  }

 private:
  static std::unique_ptr<subprocess> failed(std::string* reason) {
    *reason = std::string("cannot start a worker: ") + std::strerror(errno);
    return nullptr;
  }
  static void closeboth(int p[2]) {
    const int saved = errno;
    ::close(p[0]);
    ::close(p[1]);
    errno = saved;
  }

  workersettings settings_;
  const interruptguard& guard_;
  std::function<void()> beforestart_;
};

}  // namespace

stilljob::~stilljob() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<subprocessset> makesubprocessset(workersettings settings, const interruptguard& guard,
                                                 std::function<void()> beforestart) {
  return std::make_unique<posixsubprocessset>(std::move(settings), guard, std::move(beforestart));
}

// Workers are forks: they never start this program afresh.
void serveifworker(const std::vector<std::string>&, const std::function<const workersettings*(const std::string&)>&) {}

unsigned usablecpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

uint64_t physicalmemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}
