#include "testprocess.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "crashhook.h"

namespace fs = std::filesystem;

const char textnewline[] = "\n";

bool makefifo(const std::string& path) { return mkfifo(path.c_str(), 0644) == 0; }

bool canrun(const std::string& command) {
  for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
    if (access((folder + command).c_str(), X_OK) == 0) return true;
  return false;
}

int startprogram(const std::vector<std::string>& argv, const std::string& dir, const std::string& outpath,
                 const std::string& errpath, int* input) {
  int pipefds[2] = {-1, -1};
  if (input && pipe2(pipefds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = input ? dup(pipefds[0]) : open("/dev/null", O_RDONLY);
    const int out = open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (input) {
    close(pipefds[0]);
    *input = pipefds[1];
  }
  return pid;
}

spawnresult finishprogram(int pid, std::chrono::seconds patience) {
  int wstatus = 0;
  rusage usage{};
  // A program that hangs is a fault to report, not a test to wait for.
  const auto give_up = std::chrono::steady_clock::now() + patience;
  while (wait4(pid, &wstatus, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      kill(pid, SIGKILL);
      wait4(pid, &wstatus, 0, &usage);
      spawnresult hung;
      hung.status = -1;
      return hung;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  spawnresult r;
  r.maxrsskib = usage.ru_maxrss;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return r;
}

std::vector<int> processeswith(const std::string& entry) {
  std::vector<int> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string environ = readfile(e.path().string() + "/environ");
    size_t at = 0;
    for (size_t end; (end = environ.find('\0', at)) != std::string::npos; at = end + 1)
      if (environ.compare(at, end - at, entry) == 0) found.push_back(std::stoi(pid));
  }
  return found;
}

std::string withoutemulatornotes(std::string text) {
#if defined(VANTREL_TEST_EMULATED)
  static const std::regex note("[^\n]*qemu: uncaught target signal [0-9]+ \\([^)\n]*\\) - core dumped\n");
  text = std::regex_replace(text, note, "");
  // The render program's launcher, a host shell, is handed the emulated
  // program's preloaded library, which the host's loader cannot load.
  static const std::regex preload("ERROR: ld\\.so: object '[^'\n]*' from LD_PRELOAD cannot be preloaded[^\n]*\n");
  text = std::regex_replace(text, preload, "");
#endif
  return text;
}

std::vector<std::string> preloading(const std::string& library) {
#if defined(VANTREL_TEST_EMULATED)
  // The launcher is a host shell; the emulator hands this to the program.
  return {"env", "QEMU_SET_ENV=LD_PRELOAD=" + library};
#else
  return {"env", "LD_PRELOAD=" + library};
#endif
}

int heldworker(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const auto start = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() - start < std::chrono::minutes(5);
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    const std::string stat = readfile(proc + "/stat");
    if (stat.rfind(')') == std::string::npos || stat.compare(stat.rfind(')'), 3, ") Z") == 0) return 0;  // ended
    std::istringstream children(readfile(proc + "/task/" + std::to_string(pid) + "/children"));
    for (int child; children >> child;) {
#if defined(VANTREL_TEST_EMULATED)
      // Under qemu-user the signal mask /proc shows is the emulator's, not
      // the worker's: the held worker is the one that has spun for seconds
      // of processor time, where a small still takes a fraction of one.
      const std::string childstat = readfile("/proc/" + std::to_string(child) + "/stat");
      const size_t end = childstat.rfind(')');
      if (end == std::string::npos) continue;
      std::istringstream fields(childstat.substr(end + 2));
      std::string field;
      unsigned long long user = 0, system = 0;
      for (int k = 3; k < 14 && fields >> field; ++k) {
      }
      if (fields >> user >> system && (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK)) >= 3) return child;
#else
      const std::string status = readfile("/proc/" + std::to_string(child) + "/status");
      const size_t at = status.find("\nSigBlk:\t");
      if (at != std::string::npos && (std::stoull(status.substr(at + 9), nullptr, 16) >> (heldsignal - 1) & 1))
        return child;
#endif
    }
  }
  return 0;
}
