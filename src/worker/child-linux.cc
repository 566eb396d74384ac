// The worker's side of the process layer on Linux: what a fork of the
// driver does to become a worker, and the worker's end of its socket.
#include "worker/child-linux.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "base/interrupt-posix.h"
#include "base/io.h"
#include "worker/child.h"
#include "worker/wire.h"

namespace {

// Moves fd to at least `above`, so that it cannot collide with 0, 1 and 2.
int lift(int fd, int above) {
  const int lifted = fcntl(fd, F_DUPFD, above);
  return lifted < 0 ? fd : lifted;
}

}  // namespace

bool settlechild(pid_t parent) noexcept {
  // Die with the driver, whatever ends it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) return false;

  // A crash is to show as the signal that caused it, not as a handler's
  // exit status, and must not leave a core file in the user's folder.
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGPIPE}) sigaction(sig, &action, nullptr);
  // The driver alone answers the user's interruptions, and ends its children.
  action.sa_handler = SIG_IGN;
  for (int sig : interruptsignals) sigaction(sig, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit nocore{0, 0};
  setrlimit(RLIMIT_CORE, &nocore);
  return true;
}

[[noreturn]] void becomeworker(int sock, int diag, pid_t parent, const workersettings& settings) noexcept {
  if (!settlechild(parent)) _exit(0);

  // The socket becomes standard input, the diagnostics pipe standard output
  // and error; every other descriptor the driver had is closed.
  sock = lift(sock, 3);
  diag = lift(diag, sock + 1);
  if (dup2(sock, 0) < 0 || dup2(diag, 1) < 0 || dup2(diag, 2) < 0) _exit(125);
  if (close_range(3, ~0U, 0) != 0)
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  if (chdir("/") != 0) _exit(125);

#if !defined(__SANITIZE_ADDRESS__)
  // (AddressSanitizer reserves terabytes of address space, so not there.)
  // Only ever lower: a limit the user set stays.
  rlimit aslimit{};
  if (settings.memorylimit != 0 && getrlimit(RLIMIT_AS, &aslimit) == 0) {
    aslimit.rlim_cur = std::min<rlim_t>(aslimit.rlim_cur, settings.memorylimit);
    aslimit.rlim_max = std::min<rlim_t>(aslimit.rlim_max, settings.memorylimit);
    setrlimit(RLIMIT_AS, &aslimit);
  }
#endif

  // Memory a still frees stays in the worker's heap for the next one,
  // rather than going back to the system and returning as fresh pages that
  // the kernel must clear first: that was a fifth of a worker's time.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  try {
    workerchannel channel;
    serveworker(channel, settings);
  } catch (...) {
  }
  _exit(workerfault);
}

// The worker's end: jobs come in on descriptor 0, replies go out on it.
struct workerchannel::platform {
  void unmap() {
    if (map) munmap(map, size);
    map = nullptr;
  }
  void* map = nullptr;
  size_t size = 0;
};

workerchannel::workerchannel() : native_(std::make_unique<platform>()) {}

workerchannel::~workerchannel() { native_->unmap(); }

bool workerchannel::receive(std::string* name, const char** data, size_t* size, std::string* error) {
  platform& p = *native_;
  p.unmap();
  jobheader header{};
  jobmessage job(&header, sizeof header);
  ssize_t got;
  do got = recvmsg(0, &job.msg, MSG_WAITALL | MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (got != sizeof header || header.namesize > namelimit) return false;
  int fd = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&job.msg); c; c = CMSG_NXTHDR(&job.msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  name->assign(header.namesize, '\0');
  if (fd < 0 || !readall(0, name->data(), name->size())) return false;
  // The still is mapped, not copied: the library reads it straight from the
  // page cache.
  p.size = static_cast<size_t>(std::min<uint64_t>(header.size, stillfilelimit));
  if (p.size > 0) {
    p.map = mmap(nullptr, p.size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p.map == MAP_FAILED) {
      *error = errno == ENOMEM ? "out of memory" : std::string("cannot read: ") + std::strerror(errno);
      p.map = nullptr;
    }
  }
  ::close(fd);
  *data = p.map ? static_cast<const char*>(p.map) : "";
  *size = p.map ? p.size : 0;
  return true;
}

bool workerchannel::reply(const std::string& bytes) { return writeall(0, bytes.data(), bytes.size()) == 0; }
