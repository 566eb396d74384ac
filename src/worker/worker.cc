#include "worker/worker.h"

#include "worker/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Bounds on what a sound worker sends.
constexpr uint32_t replymagic = 0x76616e74;  // "vant"
constexpr size_t reasonlimit = 1024;
constexpr size_t framelimit = size_t{8} << 20;
constexpr size_t namelimit = 4096;
// How much of the workers' standard error one run passes on.
constexpr size_t diagnosticslimit = 64 << 10;

struct replyheader {
  uint32_t magic;
  uint32_t state;
  uint32_t width;
  uint32_t height;
  uint32_t reasonsize;
  uint32_t jpegsize;
};

// A worker stopped by its sandbox says which call it tried, in a reply of
// this state with the call's number as the width.
constexpr uint32_t forbiddenstate = 100;
constexpr char forbiddenreason[] = "the image library attempted a forbidden operation";

constexpr int guarded[3] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t caught = 0;

extern "C" void notesignal(int sig) {
  if (caught == 0) caught = sig;
}

// A reason from a worker goes to the user's terminal: printable ASCII only.
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

// Reads or writes all of data through a blocking descriptor: io is read or
// write.
template <typename Byte, typename Io>
bool whole(Io io, int fd, Byte* data, size_t size) {
  while (size > 0) {
    const ssize_t n = io(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void noteforbidden(long syscall) {
  const replyheader h{replymagic, forbiddenstate, static_cast<uint32_t>(syscall), 0, 0, 0};
  (void)!::write(0, &h, sizeof h);
}

// Moves fd to at least `above`, so that it cannot collide with 0, 1 and 2.
int lift(int fd, int above) {
  const int lifted = fcntl(fd, F_DUPFD, above);
  return lifted < 0 ? fd : lifted;
}

// The child's side: takes stills off the socket one at a time, for good.
[[noreturn]] void runworker(int sock, int diag, pid_t parent, const poolsettings& settings) {
  // Die with the driver, whatever ends it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(0);

  // A crash is to show as the signal that caused it, not as a handler's
  // exit status, and must not leave a core file in the user's folder.
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGPIPE}) sigaction(sig, &action, nullptr);
  // The driver alone answers the user's interruptions, and ends the workers.
  action.sa_handler = SIG_IGN;
  for (int sig : guarded) sigaction(sig, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_DUMPABLE, 0);
  const rlimit nocore{0, 0};
  setrlimit(RLIMIT_CORE, &nocore);

  // The socket becomes standard input, the diagnostics pipe standard output
  // and error; every other descriptor the driver had is closed.
  sock = lift(sock, 3);
  diag = lift(diag, sock + 1);
  if (dup2(sock, 0) < 0 || dup2(diag, 1) < 0 || dup2(diag, 2) < 0) _exit(125);
  if (close_range(3, ~0U, 0) != 0)
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  if (chdir("/") != 0) _exit(125);

#if !defined(__SANITIZE_ADDRESS__)
  // A backstop behind the library's budget, for memory taken around it.
  // (AddressSanitizer reserves terabytes of address space, so not there.)
  const rlim_t space = librarybudget + stillfilelimit + (rlim_t{1} << 30);
  const rlimit aslimit{space, space};
  setrlimit(RLIMIT_AS, &aslimit);
#endif

  if (settings.setup) settings.setup();
  // Locked in before the first still; a worker that cannot be says so for
  // every still it is given, and decodes none.
  std::string unsafe;
  if (settings.sandbox && !lockdown(noteforbidden, &unsafe)) unsafe = "cannot enter the sandbox: " + unsafe;

  for (;;) {
    // A job: the still's size and name's length, the name, and the still's
    // descriptor.
    uint64_t sizes[2] = {0, 0};
    char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{sizes, sizeof sizes};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got;
    do got = recvmsg(0, &msg, MSG_WAITALL | MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got != sizeof sizes || sizes[1] > namelimit) _exit(0);  // the driver is done
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    std::string name(sizes[1], '\0');
    if (fd < 0 || !whole(::read, 0, name.data(), name.size())) _exit(0);

    // The still is mapped, not copied: the library reads it straight from
    // the page cache.
    slideresult result;
    const size_t size = std::min(static_cast<size_t>(sizes[0]), stillfilelimit);
    if (!unsafe.empty()) {
      result.reason = unsafe;
    } else if (size == 0) {
      result = settings.work(name.c_str(), "", 0);
    } else {
      void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (map == MAP_FAILED) {
        result.reason = std::string("cannot read: ") + std::strerror(errno);
      } else {
        result = settings.work(name.c_str(), static_cast<const char*>(map), size);
        munmap(map, size);
      }
    }
    ::close(fd);
    const std::string reply = encodereply(result);
    if (!whole(::write, 0, reply.data(), reply.size())) _exit(0);
  }
}

std::string deathreason(int status) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) return forbiddenreason;
  if (WIFSIGNALED(status)) return std::string("the image library crashed (") + strsignal(WTERMSIG(status)) + ")";
  if (WIFEXITED(status)) return "the worker stopped unexpectedly (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
  return "the worker stopped unexpectedly";
}

}  // namespace

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

unsigned workercount(unsigned cpus, size_t stills, uint64_t memory) {
  if (stills == 0) return 0;
  const uint64_t fits = memory / 2 / (librarybudget + stillfilelimit);
  uint64_t n = std::min<uint64_t>({cpus, stills, fits});
  return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

interruptguard::interruptguard() {
  sigset_t block;
  sigemptyset(&block);
  for (int i = 0; i < 3; ++i) {
    sigaction(guarded[i], nullptr, &oldactions_[i]);
    if (oldactions_[i].sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = notesignal;
    sigemptyset(&action.sa_mask);
    sigaction(guarded[i], &action, nullptr);
    sigaddset(&block, guarded[i]);
  }
  caught = 0;
  sigprocmask(SIG_BLOCK, &block, &old_);
}

interruptguard::~interruptguard() {
  // Handlers first: a signal still pending then takes its usual course.
  for (int i = 0; i < 3; ++i) sigaction(guarded[i], &oldactions_[i], nullptr);
  sigprocmask(SIG_SETMASK, &old_, nullptr);
}

int interruptguard::signal() const { return caught; }

void interruptguard::reraise() const {
  const int sig = caught;
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

std::string encodereply(const slideresult& result) {
  const replyheader h{replymagic,
                      static_cast<uint32_t>(result.state),
                      result.width,
                      result.height,
                      static_cast<uint32_t>(std::min(result.reason.size(), reasonlimit)),
                      static_cast<uint32_t>(std::min(result.jpeg.size(), framelimit + 1))};
  std::string out(reinterpret_cast<const char*>(&h), sizeof h);
  out.append(result.reason, 0, h.reasonsize);
  out.append(result.jpeg, 0, h.jpegsize);
  return out;
}

replyparse decodereply(const std::string& buffer, slideresult* result, size_t* used) {
  if (buffer.size() < sizeof(replyheader)) return replyparse::incomplete;
  replyheader h;
  std::memcpy(&h, buffer.data(), sizeof h);
  if (h.magic == replymagic && h.state == forbiddenstate && h.reasonsize == 0 && h.jpegsize == 0) {
    const std::string call = syscallname(h.width);
    *result = slideresult{};
    result->reason = forbiddenreason + (call.empty() ? "" : " (" + call + ")");
    *used = sizeof h;
    return replyparse::last;
  }
  if (h.magic != replymagic || h.state > static_cast<uint32_t>(slidestate::unencodable) ||
      h.reasonsize > reasonlimit || h.jpegsize > framelimit)
    return replyparse::malformed;
  const auto state = static_cast<slidestate>(h.state);
  // A frame comes with framed alone, and then as a whole JPEG (SOI ... EOI).
  const size_t total = sizeof h + h.reasonsize + h.jpegsize;
  if ((state == slidestate::framed) != (h.jpegsize > 0)) return replyparse::malformed;
  if (buffer.size() < total) return replyparse::incomplete;
  const char* jpeg = buffer.data() + sizeof h + h.reasonsize;
  if (h.jpegsize > 0 && (h.jpegsize < 4 || std::memcmp(jpeg, "\xff\xd8", 2) != 0 ||
                         std::memcmp(jpeg + h.jpegsize - 2, "\xff\xd9", 2) != 0))
    return replyparse::malformed;
  result->state = state;
  result->width = h.width;
  result->height = h.height;
  result->reason = printable(buffer.substr(sizeof h, h.reasonsize));
  result->jpeg.assign(jpeg, h.jpegsize);
  *used = total;
  return replyparse::complete;
}

struct workerpool::worker {
  pid_t pid = -1;
  int sock = -1;
  bool busy = false;
  size_t job = 0;
  std::chrono::steady_clock::time_point due;
  std::string inbox;
};

workerpool::workerpool(poolsettings settings, const interruptguard& guard)
    : settings_(std::move(settings)), guard_(guard), workers_(std::max(1u, settings_.workers)) {}

workerpool::~workerpool() {
  clear();
  if (diagread_ >= 0) ::close(diagread_);
  if (diagwrite_ >= 0) ::close(diagwrite_);
}

bool workerpool::hasroom() const {
  return std::any_of(workers_.begin(), workers_.end(), [](const worker& w) { return !w.busy; });
}

bool workerpool::busy() const {
  return !finished_.empty() || std::any_of(workers_.begin(), workers_.end(), [](const worker& w) { return w.busy; });
}

bool workerpool::spawn(worker& w, std::string* reason) {
  if (diagread_ < 0) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      *reason = std::string("cannot start a worker: ") + std::strerror(errno);
      return false;
    }
    diagread_ = p[0];
    diagwrite_ = p[1];
    fcntl(diagread_, F_SETFL, O_NONBLOCK);
  }
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) {
    *reason = std::string("cannot start a worker: ") + std::strerror(errno);
    return false;
  }
  if (settings_.beforefork) settings_.beforefork();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *reason = std::string("cannot start a worker: ") + std::strerror(errno);
    ::close(s[0]);
    ::close(s[1]);
    return false;
  }
  if (pid == 0) runworker(s[1], diagwrite_, parent, settings_);
  ::close(s[1]);
  fcntl(s[0], F_SETFL, O_NONBLOCK);
  w.pid = pid;
  w.sock = s[0];
  w.inbox.clear();
  return true;
}

bool workerpool::send(worker& w, const std::string& name, int fd, uint64_t size) {
  const uint64_t sizes[2] = {size, name.size()};
  std::string payload(reinterpret_cast<const char*>(sizes), sizeof sizes);
  payload += name;
  char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{payload.data(), payload.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  // An idle worker's socket is empty, so a job this small goes out whole.
  ssize_t n;
  do n = sendmsg(w.sock, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(payload.size());
}

void workerpool::start(size_t job, const std::string& name, int fd, uint64_t size) {
  auto it = std::find_if(workers_.begin(), workers_.end(), [](const worker& w) { return !w.busy; });
  std::string reason = name.size() > namelimit ? "the name is too long" : "no worker is free";
  bool sent = false;
  // An idle worker may have died since its last still; then a fresh one
  // gets the still.
  for (int attempt = 0; attempt < 2 && !sent && it != workers_.end() && name.size() <= namelimit; ++attempt) {
    if (it->pid < 0 && !spawn(*it, &reason)) break;
    sent = send(*it, name, fd, size);
    if (!sent) {
      reason = "cannot hand the still to a worker";
      reap(*it, "");
    }
  }
  ::close(fd);
  if (!sent) {
    slideresult r;
    r.reason = reason;
    finished_.emplace_back(job, std::move(r));
    return;
  }
  it->busy = true;
  it->job = job;
  it->due = std::chrono::steady_clock::now() + settings_.deadline;
}

void workerpool::reap(worker& w, const std::string& reason) {
  if (w.pid < 0) return;
  ::kill(w.pid, SIGKILL);
  int status = 0;
  while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
  }
  ::close(w.sock);
  if (w.busy) {
    slideresult r;
    r.reason = reason.empty() ? deathreason(status) : reason;
    finished_.emplace_back(w.job, std::move(r));
  }
  w = worker{};
}

// Reads what a worker sent and takes complete replies off it.
void workerpool::drain(worker& w) {
  char chunk[1 << 16];
  bool closed = false;
  for (;;) {
    const ssize_t n = ::read(w.sock, chunk, sizeof chunk);
    if (n > 0) {
      w.inbox.append(chunk, static_cast<size_t>(n));
      if (w.inbox.size() > framelimit + reasonlimit + sizeof(replyheader)) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    closed = n == 0 || errno != EAGAIN;
    break;
  }
  slideresult r;
  size_t used = 0;
  const replyparse p = decodereply(w.inbox, &r, &used);
  const bool replied = p == replyparse::complete || p == replyparse::last;
  if (p == replyparse::malformed || (replied && (!w.busy || used != w.inbox.size()))) {
    reap(w, "the worker sent a malformed reply");
    return;
  }
  if (replied) {
    finished_.emplace_back(w.job, std::move(r));
    w.busy = false;
    w.inbox.clear();
  }
  // A worker its sandbox is ending must get no other still.
  if (closed || p == replyparse::last) reap(w, "");
}

void workerpool::forwarddiagnostics() {
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(diagread_, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
    if (n <= 0) continue;
    const size_t keep = std::min(static_cast<size_t>(n), diagnosticslimit - std::min(diagforwarded_, diagnosticslimit));
    diagforwarded_ += static_cast<size_t>(n);
    if (keep > 0 && settings_.diagnostics) settings_.diagnostics(std::string(chunk, keep));
  }
}

bool workerpool::wait(std::vector<std::pair<size_t, slideresult>>* done) {
  char overdue[64];
  std::snprintf(overdue, sizeof overdue, "took longer than %g s",
                std::chrono::duration_cast<std::chrono::duration<double>>(settings_.deadline).count());
  while (finished_.empty()) {
    if (guard_.signal() != 0) return false;
    std::vector<pollfd> fds;
    std::vector<worker*> owners;
    auto now = std::chrono::steady_clock::now();
    auto due = std::chrono::steady_clock::time_point::max();
    for (worker& w : workers_) {
      if (w.pid < 0) continue;
      fds.push_back({w.sock, POLLIN, 0});
      owners.push_back(&w);
      if (w.busy) due = std::min(due, w.due);
    }
    if (owners.empty()) return true;  // nothing is running
    if (diagread_ >= 0) fds.push_back({diagread_, POLLIN, 0});
    timespec timeout{};
    if (due != std::chrono::steady_clock::time_point::max()) {
      const auto left = std::max(std::chrono::nanoseconds(0), due - now);
      timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
      timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
    }
    const int ready = ppoll(fds.data(), fds.size(), due == std::chrono::steady_clock::time_point::max() ? nullptr : &timeout,
                            guard_.waitmask());
    if (ready < 0 && errno != EINTR) {
      const std::string reason = std::string("cannot wait for the workers: ") + std::strerror(errno);
      for (worker& w : workers_) reap(w, reason);
      break;
    }
    if (guard_.signal() != 0) return false;
    if (diagread_ >= 0 && ready > 0 && fds.back().revents != 0) forwarddiagnostics();
    for (size_t i = 0; i < owners.size() && ready > 0; ++i)
      if (fds[i].revents != 0) drain(*owners[i]);
    now = std::chrono::steady_clock::now();
    for (worker& w : workers_)
      if (w.pid >= 0 && w.busy && now >= w.due) reap(w, overdue);
  }
  done->insert(done->end(), std::make_move_iterator(finished_.begin()), std::make_move_iterator(finished_.end()));
  finished_.clear();
  return true;
}

void workerpool::clear() {
  for (worker& w : workers_)
    if (w.pid >= 0) ::kill(w.pid, SIGKILL);
  for (worker& w : workers_) {
    w.busy = false;
    reap(w, "");
  }
  finished_.clear();
}

std::vector<pid_t> workerpool::pids() const {
  std::vector<pid_t> out;
  for (const worker& w : workers_)
    if (w.pid >= 0) out.push_back(w.pid);
  return out;
}
