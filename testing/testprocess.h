// Helpers for tests that run programs: fork and exec on Linux
// (testprocess-linux.cc), CreateProcess on Windows (testprocess-win32.cc).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "testdir.h"

// The line break the tool writes in text files (its script) and on its
// standard output and error here: "\n", or "\r\n" on Windows.
extern const char textnewline[];

// A FIFO at path; false where the platform has none.
bool makefifo(const std::string& path);
// Whether the tests can run this command of the system's (taskset, prlimit,
// setpriv, sh): never from a Windows program.
bool canrun(const std::string& command);

struct spawnresult {
  int status = -1;  // exit status, or 128 + signal number; -1 if it hung
  double seconds = 0;
  long maxrsskib = 0;  // peak resident memory of the process
};

// Runs argv[0] (searched on PATH) in dir with standard input from /dev/null
// and standard output and error going to the named files, and waits for it.
spawnresult spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& outpath,
                  const std::string& errpath);

// spawn() in two halves, for a test that acts on the process while it runs.
// With input, its standard input is a pipe whose other end *input is.
int startprogram(const std::vector<std::string>& argv, const std::string& dir, const std::string& outpath,
                 const std::string& errpath, int* input = nullptr);
// Waits for it, for at most patience: a program that takes longer is killed
// and counted as hung.
spawnresult finishprogram(int pid, std::chrono::seconds patience = std::chrono::seconds(120));

// The processes whose environment holds the entry ("NAME=value"), so that a
// test can tag a run and find whatever it left running.
std::vector<int> processeswith(const std::string& entry);

struct runresult {
  int status = -1;
  std::string out;
  std::string err;
};

// spawn() with both outputs captured, each line break read as "\n".
runresult runprogram(const std::vector<std::string>& argv, const std::string& dir);

// What a program wrote on its standard error, without the lines an emulator
// running it (qemu-user, for a cross-built test) adds when it dies of a signal.
std::string withoutemulatornotes(std::string text);

// The words that make env(1) preload library into the program it starts,
// also when that program runs under an emulator.
std::vector<std::string> preloading(const std::string& library);

// The worker of the run pid that the preloaded hook holds (crashhook.h),
// waited for however slowly a busy machine brings it there; 0 if the run
// ends first, or after minutes, a backstop. 0 on Windows, which preloads
// nothing.
int heldworker(int pid);
