// Running programs in the tests on Windows: CreateProcessW, with names and
// arguments UTF-8 throughout (as the program's manifest makes them).
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <chrono>
#include <map>
#include <stdexcept>

#include "testprocess.h"

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

HANDLE inheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The processes started and not yet finished, by id.
std::map<int, HANDLE>& running() {
  static std::map<int, HANDLE> processes;
  return processes;
}

}  // namespace

const char textnewline[] = "\r\n";

bool makefifo(const std::string&) { return false; }

bool canrun(const std::string&) { return false; }

int startprogram(const std::vector<std::string>& argv, const std::string& dir, const std::string& outpath,
                 const std::string& errpath, int* input) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in = INVALID_HANDLE_VALUE, feed = INVALID_HANDLE_VALUE;
  if (input) {
    if (!CreatePipe(&in, &feed, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0);
  } else {
    in = inheritable("NUL", false);
  }
  const HANDLE out = inheritable(outpath, true), err = inheritable(errpath, true);
  std::wstring line;
  for (const std::string& a : argv) line += (line.empty() ? L"" : L" ") + quoted(wide(a));
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = in;
  start.hStdOutput = out;
  start.hStdError = err;
  PROCESS_INFORMATION made{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      wide(dir).c_str(), &start, &made);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) throw std::runtime_error("CreateProcessW failed for " + argv[0]);
  CloseHandle(made.hThread);
  running()[static_cast<int>(made.dwProcessId)] = made.hProcess;
  if (input) *input = _open_osfhandle(reinterpret_cast<intptr_t>(feed), _O_WRONLY);
  return static_cast<int>(made.dwProcessId);
}

spawnresult finishprogram(int pid, std::chrono::seconds patience) {
  spawnresult r;
  const auto found = running().find(pid);
  if (found == running().end()) return r;
  const HANDLE process = found->second;
  running().erase(found);
  if (WaitForSingleObject(process, static_cast<DWORD>(patience.count() * 1000)) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    r.status = static_cast<int>(code);
  }
  CloseHandle(process);
  return r;
}

// Another process's environment cannot be read here: every process of the
// program's name, vantrel.exe, counts.
std::vector<int> processeswith(const std::string&) {
  std::vector<int> found;
  const HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(all, &entry); more; more = Process32NextW(all, &entry))
    if (_wcsicmp(entry.szExeFile, L"vantrel.exe") == 0) found.push_back(static_cast<int>(entry.th32ProcessID));
  CloseHandle(all);
  return found;
}

std::string withoutemulatornotes(std::string text) { return text; }

// Nothing is preloaded into a Windows program: the tests that need it skip.
std::vector<std::string> preloading(const std::string&) { return {}; }

int heldworker(int) { return 0; }
