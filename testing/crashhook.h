// What the tests and the library they preload into vantrel (crashhook.cc)
// agree on: the markers a still's bytes begin with, and how a worker the
// hook holds shows that it is held.
#pragma once

#include <csignal>

// A still that begins with this crashes the image library's type probe.
constexpr char crashmarker[] = "vantrel test: crash here";
// A still that begins with this holds its worker in the type probe for good.
constexpr char holdmarker[] = "vantrel test: hold here";
// The signal a worker blocks as the hook starts to hold it: from then on it
// shows in the SigBlk mask of the worker's /proc/PID/status, where a test
// sees that the worker is held however busy the machine is. (Blocking is
// one of the few calls the worker's sandbox allows; nothing sends it.)
constexpr int heldsignal = SIGUSR2;
