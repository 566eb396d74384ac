// The worker's side of the process layer on Windows: a worker is this
// program started again in worker mode (serveifworker), which serves jobs
// from its standard input and sends its replies down a pipe of their own.
#include "worker/child.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "base/io.h"
#include "worker/subprocess-win32.h"
#include "worker/subprocess.h"
#include "worker/wire.h"

namespace {

std::atomic<uint64_t>* published = nullptr;
// Where this worker's replies go (its command line names it).
HANDLE replyhandle = INVALID_HANDLE_VALUE;

LONG WINAPI crashed(EXCEPTION_POINTERS* info) {
  // Ended at once with the exception's code: no debugger, no dialog.
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

bool readwhole(HANDLE from, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(from, p, static_cast<DWORD>(std::min<size_t>(size, 1 << 20)), &got, nullptr) || got == 0)
      return false;
    p += got;
    size -= got;
  }
  return true;
}

}  // namespace

struct workerchannel::platform {
  void unmap() {
    if (view) UnmapViewOfFile(view);
    view = nullptr;
  }
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = replyhandle;
  void* view = nullptr;
};

workerchannel::workerchannel() : native_(std::make_unique<platform>()) {}

workerchannel::~workerchannel() { native_->unmap(); }

bool workerchannel::receive(std::string* name, const char** data, size_t* size, std::string* error) {
  native_->unmap();
  platform& p = *native_;
  jobheader header{};
  uint64_t handle = 0;
  if (!readwhole(p.in, &header, sizeof header) || header.namesize > namelimit) return false;
  name->assign(header.namesize, '\0');
  if (!readwhole(p.in, name->data(), name->size()) || !readwhole(p.in, &handle, sizeof handle)) return false;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(header.size, stillfilelimit));
  const HANDLE mapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
  if (length > 0 && !mapping) *error = "cannot read: it could not be handed to the worker";
  if (length > 0 && mapping) {
    p.view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, length);
    if (!p.view) *error = GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? "out of memory" : lasterror("cannot read");
  }
  if (mapping) CloseHandle(mapping);
  *data = p.view ? static_cast<const char*>(p.view) : "";
  *size = p.view ? length : 0;
  return true;
}

bool workerchannel::reply(const std::string& bytes) {
  DWORD written = 0;
  for (size_t done = 0; done < bytes.size(); done += written)
    if (!WriteFile(native_->out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
        written == 0)
      return false;
  return true;
}

void serveifworker(const std::vector<std::string>& args,
                   const std::function<const workersettings*(const std::string& name)>& find) {
  wchar_t token[64] = L"";
  if (args.size() != 5 || args[0] != workerflag || !GetEnvironmentVariableW(tokenvariable, token, 64) ||
      widen(args[1]) != token)
    return;
  const workersettings* settings = find(args[2]);
  if (!settings) std::_Exit(125);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(crashed);
  // The driver alone answers the user's Ctrl-C, and ends the workers.
  SetConsoleCtrlHandler(nullptr, TRUE);
  // The processor time this worker has used, published for the driver.
  const HANDLE cpumap = handlefrom(args[3]);
  replyhandle = handlefrom(args[4]);
  published = static_cast<std::atomic<uint64_t>*>(MapViewOfFile(cpumap, FILE_MAP_WRITE, 0, 0, sizeof(uint64_t)));
  if (published) {
    std::thread([] {
      for (;;) {
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
          published->store(static_cast<uint64_t>((filetime(kernel) + filetime(user)).count() / 100));
        Sleep(20);
      }
    }).detach();
  }
  workerchannel channel;
  serveworker(channel, *settings);
}
