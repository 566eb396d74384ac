// The render program (vantrel-render) in a process of its own: started
// fresh for one video, so that vantrel itself maps no media library. It
// dies with vantrel, leaves the user's interruptions to it, and gets its
// request and descriptors, and sends its reports, on one socket
// (renderwire.h). Linux only.
#pragma once

#include <functional>
#include <string>

#include "worker/renderwire.h"

class interruptguard;

// Where the render program is: beside this program (a build tree), or where
// the package keeps its helper programs (relative to this program, so that
// any install prefix holds).
std::string renderprogram();

struct jobend {
  enum class how { exited, crashed, interrupted, untrusted, failed } way = how::failed;
  int status = -1;     // the exit status, where it exited
  std::string reason;  // in words, where it did not exit
};

// Starts program, hands it request and its descriptors, and hands each
// report to onreport as it comes. A report onreport refuses (false), or
// anything a sound render does not send, ends the render (untrusted); an
// interruption (interruptguard) ends it at once (interrupted).
jobend runrender(const std::string& program, const renderrequest& request,
                 const std::function<bool(const renderreport&)>& onreport, const interruptguard& guard);
