// What the two sides of the process layer on Windows share: the driver's
// (subprocess-win32.cc), which starts a worker as this program again, and
// the worker's (child-win32.cc), which finds its settings by the words of
// that command line.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>

// The first word of a worker's command line, and the variable that holds
// the run's token, which the second word must repeat.
constexpr char workerflag[] = "--worker";
constexpr wchar_t tokenvariable[] = L"VANTREL_WORKER";

std::wstring widen(const std::string& text);
// "what: " and the system's words for the last error.
std::string lasterror(const char* what);
std::chrono::nanoseconds filetime(const FILETIME& t);
// A handle from its value, as a worker's command line names it.
HANDLE handlefrom(const std::string& number);
