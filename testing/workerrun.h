// Stills through a pool of this platform's real workers, for the tests of
// the process layer: each platform's worker deaths are checked the same way.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/interrupt.h"
#include "testdir.h"
#include "worker/pool.h"
#include "worker/subprocess.h"

// What a test worker makes of a still it frames: its name and bytes back,
// as a "JPEG".
slideresult echoframe(const char* name, const std::string& still);

// Checks a run of stills through test workers: each still in failures failed
// with its reason; every other one was framed by echoframe.
void expectonlythese(const std::vector<slideresult>& results, const std::vector<std::string>& stills,
                     const std::vector<std::pair<size_t, std::string>>& failures);

struct workerrun {
  explicit workerrun(const workersettings& worker, unsigned workers = 1,
                     std::chrono::milliseconds deadline = std::chrono::seconds(20),
                     std::chrono::milliseconds wallbound = std::chrono::seconds(20));
  // Runs stills with these bytes, named DSC<i>.JPG, and returns the results
  // by still; each commit may look at the pool while it runs. diagnostics
  // then holds, by still, what its worker wrote on its standard error.
  std::vector<slideresult> run(const std::vector<std::string>& contents,
                               const std::function<void(workerpool&)>& oncommit = nullptr);

  interruptguard guard;
  tempdir dir;
  std::unique_ptr<subprocessset> processes;
  poolsettings settings;
  std::vector<std::string> diagnostics;
};
