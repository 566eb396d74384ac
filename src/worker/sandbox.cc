#include "worker/sandbox.h"

#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

forbiddennote noted = nullptr;
constexpr int seccomptrap = 1;  // si_code of a SIGSYS sent by the filter (SYS_SECCOMP)

extern "C" void forbidden(int, siginfo_t* info, void*) {
  if (noted && info->si_code == seccomptrap) noted(info->si_syscall);
  // SIGSYS is blocked while this handler runs, so the kernel meets a second
  // forbidden call by ending the process with SIGSYS. getppid is never
  // allowed inside the sandbox.
  syscall(SYS_getppid);
  _exit(128 + SIGSYS);
}

}  // namespace

bool lockdown(forbiddennote note, std::string* reason) {
  noted = note;
  struct sigaction action {};
  action.sa_sigaction = forbidden;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSYS, &action, nullptr) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *reason = std::strerror(errno);
    return false;
  }
  // Every call not listed traps: the handler above reports it.
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_TRAP);
  if (!filter) {
    *reason = "cannot build the system call filter";
    return false;
  }
  const pid_t self = getpid();
  auto allow = [&](int call, unsigned count = 0, scmp_arg_cmp a = {}, scmp_arg_cmp b = {}) {
    const scmp_arg_cmp args[2] = {a, b};
    return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, count, args) == 0;
  };
  const scmp_arg_cmp noexec = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
  const bool built =
      // The still and the jobs come in; replies and diagnostics go out on
      // the socket (0) and the diagnostics pipe (1, 2).
      allow(SCMP_SYS(read)) && allow(SCMP_SYS(recvmsg), 1, SCMP_A0(SCMP_CMP_EQ, 0)) &&
      allow(SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_LE, 2)) && allow(SCMP_SYS(writev), 1, SCMP_A0(SCMP_CMP_LE, 2)) &&
      allow(SCMP_SYS(close)) &&
      // Memory: the mapped still and the heap, never executable.
      allow(SCMP_SYS(mmap), 1, noexec) && allow(SCMP_SYS(mprotect), 1, noexec) && allow(SCMP_SYS(munmap)) &&
      allow(SCMP_SYS(mremap)) && allow(SCMP_SYS(brk)) && allow(SCMP_SYS(madvise)) &&
      // The clock, where the vDSO does not answer, and the memory figures
      // the C library's sort asks for (the TIFF loader sorts).
      allow(SCMP_SYS(clock_gettime)) && allow(SCMP_SYS(gettimeofday)) && allow(SCMP_SYS(sysinfo)) &&
      // Leaving: normally, or by abort(), which signals the process itself.
      allow(SCMP_SYS(exit)) && allow(SCMP_SYS(exit_group)) && allow(SCMP_SYS(rt_sigreturn)) &&
      allow(SCMP_SYS(rt_sigprocmask)) && allow(SCMP_SYS(getpid)) && allow(SCMP_SYS(gettid)) &&
      allow(SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(self)))
#if defined(__SANITIZE_ADDRESS__)
      // AddressSanitizer looks up the signal stack (never sets it) whenever
      // a function does not return: longjmp, abort, exit.
      && allow(SCMP_SYS(sigaltstack), 1, SCMP_A0(SCMP_CMP_EQ, 0))
#endif
      ;
  const int loaded = built ? seccomp_load(filter) : -1;
  seccomp_release(filter);
  if (loaded != 0) {
    *reason = built ? std::string("cannot load the system call filter: ") + std::strerror(-loaded)
                    : "cannot build the system call filter";
    return false;
  }
  return true;
}

std::string syscallname(long number) {
  if (number < 0 || number > 4095) return "";
  char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, static_cast<int>(number));
  const std::string text = name ? name : "";
  std::free(name);
  return text;
}
