// One long job in a process of its own, such as rendering the video: a
// fork of the driver that dies with it, leaves the user's interruptions to
// the driver, and reports on a pipe as it goes. Linux only.
#pragma once

#include <functional>
#include <string>

class interruptguard;

struct jobend {
  enum class how { exited, crashed, interrupted, failed } way = how::failed;
  int status = -1;     // the exit status, where it exited
  std::string reason;  // in words, where it did not exit
};

// Runs body in a child process; what it returns is the child's exit
// status, and it writes its reports to the descriptor it is given. The
// driver reads them as they come and hands each to onreport. An
// interruption (interruptguard) ends the child at once.
jobend runjob(const std::function<int(int report)>& body, const std::function<void(const std::string&)>& onreport,
              const interruptguard& guard);
