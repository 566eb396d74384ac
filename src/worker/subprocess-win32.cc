// The process layer on Windows, the driver's side (the worker's is
// child-win32.cc): each worker is this program started again
// in a worker mode that only this layer asks for (serveifworker), in a job
// object that ends it with the driver. Jobs go to its standard input,
// replies come through a pipe of their own, whose handle its command line
// names, and whatever it prints on its standard output or error is its
// diagnostics; a thread of the driver reads the replies. A still
// travels as a read-only file mapping handed into the worker, so that the
// worker opens nothing and no byte of the still is copied.
//
// A worker's processor time: Windows gives it to the driver, but wine does
// not, so the worker also publishes its own in a page the two share; the
// driver takes the larger of the two. (A worker taken over could publish
// less than it used; the clock's bound still ends it.)
#include "worker/subprocess.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "base/interrupt-win32.h"
#include "base/io.h"
#include "worker/subprocess-win32.h"
#include "worker/wire.h"

std::wstring widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string lasterror(const char* what) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                 sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return std::string(what) + ": " + out;
}

std::chrono::nanoseconds filetime(const FILETIME& t) {
  const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return std::chrono::nanoseconds(ticks * 100);
}

HANDLE handlefrom(const std::string& number) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(number.c_str(), nullptr, 10)));
}

namespace {

// What a pipe may hold unread in the driver before its reader waits.
constexpr size_t pipebacklog = replylimit + iochunk;

std::chrono::nanoseconds processortime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::chrono::nanoseconds(0);
  return filetime(kernel) + filetime(user);
}

// The words for how a worker ended, from its exit code.
std::string deathreason(DWORD code) {
  const char* what = nullptr;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: what = "access violation"; break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO: what = "integer division by zero"; break;
    case EXCEPTION_STACK_OVERFLOW: what = "stack overflow"; break;
    case EXCEPTION_ILLEGAL_INSTRUCTION: what = "illegal instruction"; break;
    case EXCEPTION_IN_PAGE_ERROR: what = "page error"; break;
    case 0xC0000409: what = "stack buffer overrun"; break;
    case 0xC0000374: what = "heap corruption"; break;
    case 0xC0000017: what = "out of memory"; break;
    default: break;
  }
  if (what) return std::string("the image library crashed (") + what + ")";
  char text[64];
  if (code >= 0xC0000000) {
    std::snprintf(text, sizeof text, "the image library crashed (exception 0x%08lX)", static_cast<unsigned long>(code));
    return text;
  }
  return "the worker stopped unexpectedly (exit status " + std::to_string(code) + ")";
}

// Takes from a pipe, without waiting, what it holds now; false once its
// writer has gone and nothing is left.
bool takewaiting(HANDLE pipe, std::string* into, size_t limit) {
  while (limit > 0) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return GetLastError() != ERROR_BROKEN_PIPE;
    if (waiting == 0) return true;
    char chunk[iochunk];
    DWORD got = 0;
    if (!ReadFile(pipe, chunk, std::min<DWORD>({waiting, sizeof chunk, static_cast<DWORD>(limit)}), &got, nullptr))
      return false;
    into->append(chunk, got);
    limit -= got;
  }
  return true;
}

// Everything a worker's reply pipe brings, read by a thread of its own, which
// wakes the driver's wait.
class pipereader {
 public:
  pipereader(HANDLE pipe, HANDLE wake) : pipe_(pipe), wake_(wake) {
    thread_ = std::thread([this] { run(); });
  }
  ~pipereader() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    room_.notify_all();
    CancelIoEx(pipe_, nullptr);
    thread_.join();
    CloseHandle(pipe_);
  }

  // Takes at most limit bytes; false once everything is taken and the pipe has ended.
  bool take(std::string* into, size_t limit) {
    std::lock_guard<std::mutex> lock(m_);
    const size_t n = std::min(limit, data_.size());
    into->append(data_, 0, n);
    data_.erase(0, n);
    room_.notify_all();
    return !(ended_ && data_.empty());
  }
  bool ready() {
    std::lock_guard<std::mutex> lock(m_);
    return !data_.empty() || ended_;
  }

 private:
  void run() {
    char chunk[iochunk];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(pipe_, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
      std::unique_lock<std::mutex> lock(m_);
      // The worker waits while the driver is behind.
      room_.wait(lock, [&] { return stop_ || data_.size() < pipebacklog; });
      if (stop_) break;
      data_.append(chunk, got);
      lock.unlock();
      SetEvent(wake_);
    }
    std::lock_guard<std::mutex> lock(m_);
    ended_ = true;
    SetEvent(wake_);
  }

  HANDLE pipe_, wake_;
  std::mutex m_;
  std::condition_variable room_;
  std::string data_;
  bool ended_ = false, stop_ = false;
  std::thread thread_;
};

class win32subprocess : public subprocess {
 public:
  win32subprocess(PROCESS_INFORMATION process, HANDLE jobs, HANDLE replies, HANDLE diagnostics, HANDLE cpumap,
                  HANDLE wake)
      : process_(process), jobs_(jobs), replies_(replies, wake), diagnostics_(diagnostics), cpumap_(cpumap) {
    published_ = static_cast<std::atomic<uint64_t>*>(MapViewOfFile(cpumap, FILE_MAP_READ, 0, 0, sizeof(uint64_t)));
  }
  ~win32subprocess() override {
    end();
    if (published_) UnmapViewOfFile(published_);
    CloseHandle(cpumap_);
    CloseHandle(diagnostics_);
  }

  bool send(const stilljob& job) override {
    // A still that cannot be mapped (it shrank to nothing since it was
    // opened) goes without its bytes, and the worker says it cannot read it.
    HANDLE remote = nullptr;
    if (job.size() > 0) {
      const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(job.fd()));
      const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
      if (mapping &&
          !DuplicateHandle(GetCurrentProcess(), mapping, process_.hProcess, &remote, FILE_MAP_READ, FALSE, 0))
        remote = nullptr;
      if (mapping) CloseHandle(mapping);
    }
    const jobheader header{job.size(), job.name().size()};
    const uint64_t handle = reinterpret_cast<uintptr_t>(remote);
    std::string message(reinterpret_cast<const char*>(&header), sizeof header);
    message += job.name();
    message.append(reinterpret_cast<const char*>(&handle), sizeof handle);
    DWORD written = 0;
    return WriteFile(jobs_, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
           written == message.size();
  }

  bool read(std::string* replies, size_t limit, std::string* diagnostics) override {
    const bool open = replies_.take(replies, limit);
    // A worker writes its diagnostics before its reply: whatever came before
    // the reply is in the pipe by now, and goes with it.
    if (diagnosticsopen_) diagnosticsopen_ = takewaiting(diagnostics_, diagnostics, 64 << 10);
    return open;
  }

  std::chrono::nanoseconds cputime() override {
    const auto own = published_ ? std::chrono::nanoseconds(published_->load() * 100) : std::chrono::nanoseconds(0);
    return std::max(own, processortime(process_.hProcess));
  }

  std::string end() override {
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, INFINITE);
      DWORD code = 1;
      GetExitCodeProcess(process_.hProcess, &code);
      how_ = deathreason(code);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
      CloseHandle(jobs_);
      process_.hProcess = nullptr;
    }
    return how_;
  }

  int id() const override { return static_cast<int>(process_.dwProcessId); }
  // Whether a read would find something: a reply, the end, or diagnostics.
  bool ready() {
    DWORD waiting = 0;
    return replies_.ready() ||
           (diagnosticsopen_ && PeekNamedPipe(diagnostics_, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0);
  }

 private:
  PROCESS_INFORMATION process_;
  HANDLE jobs_;
  pipereader replies_;
  HANDLE diagnostics_;
  bool diagnosticsopen_ = true;
  HANDLE cpumap_;
  std::atomic<uint64_t>* published_ = nullptr;
  std::string how_;
};

// A handle's value, as a worker's command line names it.
std::wstring handlenumber(HANDLE h) {
  return std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
}
// A pipe whose one end the child inherits.
bool makepipe(HANDLE* parent, HANDLE* child, bool childreads) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read, write;
  if (!CreatePipe(&read, &write, &inherit, static_cast<DWORD>(iochunk))) return false;
  *parent = childreads ? write : read;
  *child = childreads ? read : write;
  SetHandleInformation(*parent, HANDLE_FLAG_INHERIT, 0);
  return true;
}

class win32subprocessset : public subprocessset {
 public:
  win32subprocessset(workersettings settings, const interruptguard& guard, std::function<void()> beforestart)
      : settings_(std::move(settings)), guard_(guard), beforestart_(std::move(beforestart)) {
    wake_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Every worker ends when the driver does, however it ends; a crash ends
    // a worker at once; its memory is bounded where Windows enforces it. A
    // worker that cannot be held so is not started.
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // No more processes in it than there can be workers: a worker cannot
    // start others.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                              JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    limits.BasicLimitInformation.ActiveProcessLimit = usablecpus();
    if (settings_.memorylimit != 0) {
      limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
      limits.ProcessMemoryLimit = static_cast<SIZE_T>(settings_.memorylimit);
    }
    if (!job_ || !SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      joberror_ = lasterror("cannot start a worker: cannot make its job object");
      if (job_) CloseHandle(job_);
      job_ = nullptr;
    }
    // The token that tells a worker it was started as one (serveifworker).
    std::random_device random;
    char token[32];
    std::snprintf(token, sizeof token, "%08x%08x", random(), random());
    token_ = token;
    SetEnvironmentVariableW(tokenvariable, widen(token_).c_str());
  }
  ~win32subprocessset() override {
    if (job_) CloseHandle(job_);
    CloseHandle(wake_);
  }

  std::unique_ptr<subprocess> start(std::string* reason) override {
    if (!job_) {
      *reason = joberror_;
      return nullptr;
    }
    HANDLE jobs = nullptr, jobsin = nullptr, replies = nullptr, repliesout = nullptr, diag = nullptr, diagout = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE cpumap =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, sizeof(uint64_t), nullptr);
    auto closeall = [&] {
      for (HANDLE h : {jobs, jobsin, replies, repliesout, diag, diagout, cpumap})
        if (h) CloseHandle(h);
    };
    if (!cpumap || !makepipe(&jobs, &jobsin, true) || !makepipe(&replies, &repliesout, false) ||
        !makepipe(&diag, &diagout, false)) {
      *reason = lasterror("cannot start a worker");
      closeall();
      return nullptr;
    }
    // The worker inherits these four handles and nothing else.
    HANDLE inherited[] = {jobsin, repliesout, diagout, cpumap};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string room(size, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(room.data());
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                              nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = jobsin;
    startup.StartupInfo.hStdOutput = diagout;
    startup.StartupInfo.hStdError = diagout;
    startup.lpAttributeList = attributes;

    wchar_t program[32768];
    GetModuleFileNameW(nullptr, program, sizeof program / sizeof *program);
    std::wstring line = L"\"" + std::wstring(program) + L"\" " + widen(workerflag) + L" " + widen(token_) + L" " +
                        widen(settings_.name) + L" " + handlenumber(cpumap) + L" " + handlenumber(repliesout);
    if (beforestart_) beforestart_();
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        nullptr, &startup.StartupInfo, &process);
    DeleteProcThreadAttributeList(attributes);
    if (!started) {
      *reason = lasterror("cannot start a worker");
      closeall();
      return nullptr;
    }
    if (!AssignProcessToJobObject(job_, process.hProcess)) {
      *reason = lasterror("cannot start a worker: cannot put it in its job object");
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
      closeall();
      return nullptr;
    }
    ResumeThread(process.hThread);
    for (HANDLE h : {jobsin, repliesout, diagout}) CloseHandle(h);
    return std::make_unique<win32subprocess>(process, jobs, replies, diag, cpumap, wake_);
  }

  waitstatus wait(const std::vector<subprocess*>& running, std::optional<std::chrono::nanoseconds> timeout,
                  std::vector<size_t>* ready, std::string* reason) override {
    const auto until = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::hours(24 * 365));
    for (;;) {
      ResetEvent(wake_);
      if (guard_.signal() != 0) return waitstatus::interrupted;
      for (size_t i = 0; i < running.size(); ++i)
        if (static_cast<win32subprocess*>(running[i])->ready()) ready->push_back(i);
      if (!ready->empty()) return waitstatus::ready;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return waitstatus::timedout;
      const HANDLE events[] = {wake_, interruptwait::arrived(guard_)};
      // The diagnostics pipes wake nobody: they are looked at this often.
      const DWORD limit = static_cast<DWORD>(std::min<int64_t>(left.count() + 1, 50));
      if (WaitForMultipleObjects(2, events, FALSE, limit) == WAIT_FAILED) {
        *reason = lasterror("cannot wait for the workers");
        return waitstatus::failed;
      }
    }
  }

 private:
  workersettings settings_;
  const interruptguard& guard_;
  std::function<void()> beforestart_;
  HANDLE wake_, job_;
  std::string joberror_;
  std::string token_;
};

}  // namespace

stilljob::~stilljob() {
  if (fd_ >= 0) _close(fd_);
}

std::unique_ptr<subprocessset> makesubprocessset(workersettings settings, const interruptguard& guard,
                                                 std::function<void()> beforestart) {
  return std::make_unique<win32subprocessset>(std::move(settings), guard, std::move(beforestart));
}

unsigned usablecpus() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    unsigned n = 0;
    for (; process; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return std::max<unsigned>(1, info.dwNumberOfProcessors);
}

uint64_t physicalmemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}
