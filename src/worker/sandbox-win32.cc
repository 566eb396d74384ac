// Windows has no counterpart of seccomp that a program without
// administrator rights can put on itself: a worker there is not sandboxed.
// What it can do costs nothing and is done: no dynamic code (a still that
// takes over the image library cannot make new code to run), and no
// extension points or remote images loaded into it. The job object the
// driver puts each worker in (subprocess-win32.cc) ends it with the driver
// and bounds its memory.
#include "worker/sandbox.h"

#include <windows.h>

bool lockdown(std::string*) {
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY nodynamic{};
  nodynamic.ProhibitDynamicCode = 1;
  SetProcessMitigationPolicy(ProcessDynamicCodePolicy, &nodynamic, sizeof nodynamic);
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY noextensions{};
  noextensions.DisableExtensionPoints = 1;
  SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &noextensions, sizeof noextensions);
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY noremote{};
  noremote.NoRemoteImages = 1;
  SetProcessMitigationPolicy(ProcessImageLoadPolicy, &noremote, sizeof noremote);
  // Where Windows (or wine) refuses one of them, the worker goes on: none
  // of them is a sandbox, and none is claimed.
  return true;
}

std::string syscallname(long) { return ""; }
