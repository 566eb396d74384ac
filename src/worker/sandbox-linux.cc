#include "worker/sandbox.h"

#include <linux/futex.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "worker/renderwire.h"
#include "worker/wire.h"

namespace {

// A rule of the policy: a call, and at most one test of one argument.
struct rule {
  int call;
  enum { any, equal, atmost, maskedzero, maskedthread, self } test = any;
  unsigned arg = 0;
  scmp_datum_t value = 0;
};

// What every process of ours that is locked in may do: memory, the clock,
// and leaving.
// clang-format off
const rule lockedin[] = {
    // Memory: a mapped file and the heap, never executable.
    {SCMP_SYS(mmap),          rule::maskedzero, 2, PROT_EXEC},
    {SCMP_SYS(mprotect),      rule::maskedzero, 2, PROT_EXEC},
    {SCMP_SYS(munmap)},
    {SCMP_SYS(mremap)},
    {SCMP_SYS(brk)},
    {SCMP_SYS(madvise)},
    // The clock, where the vDSO does not answer, and the memory figures the
    // C library's sort asks for (the TIFF loader sorts).
    {SCMP_SYS(clock_gettime)},
    {SCMP_SYS(gettimeofday)},
    {SCMP_SYS(sysinfo)},
    // Leaving: normally, or by abort(), which signals the process itself.
    {SCMP_SYS(exit)},
    {SCMP_SYS(exit_group)},
    {SCMP_SYS(rt_sigreturn)},
    {SCMP_SYS(rt_sigprocmask)},
    {SCMP_SYS(getpid)},
    {SCMP_SYS(gettid)},
    {SCMP_SYS(tgkill),        rule::self,       0, 0},
};

// What a worker may do besides. Its reply channel is descriptor 0, its
// standard output and error (a pipe to the driver) 1 and 2; the still is
// mapped, never opened.
const rule policy[] = {
    // The job and the still come in, the reply and diagnostics go out.
    {SCMP_SYS(read)},
    {SCMP_SYS(recvmsg),       rule::equal,      0, 0},
    {SCMP_SYS(write),         rule::atmost,     0, 2},
    {SCMP_SYS(writev),        rule::atmost,     0, 2},
    {SCMP_SYS(close)},
    // The C library's one-time set-ups wake whoever waits for them: nobody,
    // in a worker of one thread, but the call is made.
    {SCMP_SYS(futex),         rule::equal,      1, FUTEX_WAKE_PRIVATE},
};
// clang-format on

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer looks up the signal stack (never sets it) whenever a
// function does not return: longjmp, abort, exit. And as a thread starts,
// it tries whether memory can be read by writing it into a pipe of its own.
const rule sanitizerpolicy[] = {{SCMP_SYS(sigaltstack), rule::equal, 0, 0}};
const rule rendersanitizerpolicy[] = {{SCMP_SYS(pipe2)}};
#else
const std::vector<rule> sanitizerpolicy, rendersanitizerpolicy;
#endif

constexpr int seccomptrap = 1;  // si_code of a SIGSYS sent by the filter (SYS_SECCOMP)

extern "C" void forbidden(int, siginfo_t* info, void*) {
  if (info->si_code == seccomptrap) {
    const replyheader note = forbiddennote(info->si_syscall);
    (void)!::write(0, &note, sizeof note);
  }
  // SIGSYS is blocked while this handler runs, so the kernel meets a second
  // forbidden call by ending the process with SIGSYS. getppid is never
  // allowed inside the sandbox.
  syscall(SYS_getppid);
  _exit(128 + SIGSYS);
}

bool add(scmp_filter_ctx filter, const rule& r) {
  scmp_arg_cmp test{};
  test.arg = r.arg;
  switch (r.test) {
    case rule::any: return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, r.call, 0, nullptr) == 0;
    case rule::equal: test.op = SCMP_CMP_EQ, test.datum_a = r.value; break;
    case rule::atmost: test.op = SCMP_CMP_LE, test.datum_a = r.value; break;
    case rule::maskedzero: test.op = SCMP_CMP_MASKED_EQ, test.datum_a = r.value, test.datum_b = 0; break;
    case rule::maskedthread: test.op = SCMP_CMP_MASKED_EQ, test.datum_a = r.value, test.datum_b = r.value; break;
    case rule::self: test.op = SCMP_CMP_EQ, test.datum_a = static_cast<scmp_datum_t>(getpid()); break;
  }
  return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, r.call, 1, &test) == 0;
}

// What the render may do besides: read and write any descriptor it was
// handed, make threads and wait for them.
// clang-format off
const rule renderpolicy[] = {
    {SCMP_SYS(read)},
    {SCMP_SYS(write)},
    {SCMP_SYS(writev)},
    {SCMP_SYS(pread64)},
    {SCMP_SYS(pwrite64)},
    {SCMP_SYS(lseek)},
    {SCMP_SYS(fstat)},
    {SCMP_SYS(close)},
    {SCMP_SYS(clock_nanosleep)},
    {SCMP_SYS(nanosleep)},
    {SCMP_SYS(getrandom)},
    // Threads: made (only as threads of this process), waited for, ended.
    {SCMP_SYS(clone),         rule::maskedthread, 0, CLONE_THREAD},
    {SCMP_SYS(futex)},
    {SCMP_SYS(set_robust_list)},
    {SCMP_SYS(rseq)},
    {SCMP_SYS(sched_yield)},
    {SCMP_SYS(sched_getaffinity)},
    {SCMP_SYS(sigaltstack)},
};
// clang-format on

int renderchannelfd = -1;

extern "C" void renderforbidden(int, siginfo_t* info, void*) {
  if (info->si_code == seccomptrap) {
    char line[64] = {static_cast<char>(renderreport::kind::forbidden)};
    size_t n = std::strlen(line);
    char digits[16];
    size_t d = 0;
    for (unsigned v = static_cast<unsigned>(info->si_syscall); d == 0 || v > 0; v /= 10)
      digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0) line[n++] = digits[--d];
    line[n++] = '\n';
    (void)!::write(renderchannelfd, line, n);
  }
  syscall(SYS_getppid);
  _exit(128 + SIGSYS);
}

}  // namespace

namespace {

// Locks the calling thread's process in: SIGSYS goes to handler, no new
// privileges, then a filter that traps every call not in the lists, and
// answers clone3 with ENOSYS where asked (the C library then makes threads
// with clone).
struct rules {
  const rule* first;
  size_t count;
};
template <size_t n>
rules of(const rule (&list)[n]) {
  return {list, n};
}
[[maybe_unused]] rules of(const std::vector<rule>& list) { return {list.data(), list.size()}; }

bool loadfilter(void (*handler)(int, siginfo_t*, void*), std::initializer_list<rules> lists, bool noclone3,
                std::string* reason) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSYS, &action, nullptr) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_TRAP);
  if (!filter) {
    *reason = "cannot build the system call filter";
    return false;
  }
  bool built = true;
  for (const rules& list : lists)
    for (size_t i = 0; i < list.count; ++i) built = built && add(filter, list.first[i]);
  if (noclone3) built = built && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  const int loaded = built ? seccomp_load(filter) : -1;
  seccomp_release(filter);
  if (loaded != 0) {
    *reason = built ? std::string("cannot load the system call filter: ") + std::strerror(-loaded)
                    : "cannot build the system call filter";
    return false;
  }
  return true;
}

}  // namespace

bool lockdownrender(int report, std::string* reason) {
  renderchannelfd = report;
  return loadfilter(renderforbidden, {of(lockedin), of(renderpolicy), of(rendersanitizerpolicy)}, true, reason);
}

// Every call not allowed traps: the handler above reports it.
bool lockdown(std::string* reason) {
  return loadfilter(forbidden, {of(lockedin), of(policy), of(sanitizerpolicy)}, false, reason);
}

std::string syscallname(long number) {
  if (number < 0 || number > 4095) return "";
  char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, static_cast<int>(number));
  const std::string text = name ? name : "";
  std::free(name);
  return text;
}
