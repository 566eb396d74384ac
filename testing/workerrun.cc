#include "workerrun.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

// Read as bytes, also where the C library would translate line ends.
#if !defined(O_BINARY)
#define O_BINARY 0
#endif

workerrun::workerrun(const workersettings& worker, unsigned workers, std::chrono::milliseconds deadline,
                     std::chrono::milliseconds wallbound)
    : processes(makesubprocessset(worker, guard, nullptr)) {
  settings.workers = workers;
  settings.deadline = deadline;
  settings.wallbound = wallbound;
}

std::vector<slideresult> workerrun::run(const std::vector<std::string>& contents,
                                        const std::function<void(workerpool&)>& oncommit) {
  workerpool pool(settings, *processes, guard);
  std::vector<slideresult> results;
  diagnostics.clear();
  pool.run(
      contents.size(),
      [&](size_t i, stilljob* job, slideresult* failed) {
        const std::string path = dir / std::to_string(i);
        writefile(path, contents[i]);
        const int fd = ::open(path.c_str(), O_RDONLY | O_BINARY);
        if (fd < 0) failed->reason = "cannot open the test's still";
        if (fd >= 0) *job = stilljob("DSC" + std::to_string(i) + ".JPG", fd, std::filesystem::file_size(path));
        return fd >= 0;
      },
      [&](size_t i, slideresult&& r, const std::string& noise) {
        EXPECT_EQ(i, results.size());
        results.push_back(std::move(r));
        diagnostics.push_back(noise);
        if (oncommit) oncommit(pool);
      });
  return results;
}

slideresult echoframe(const char* name, const std::string& still) {
  slideresult r;
  r.state = slidestate::framed;
  r.jpeg = "\xff\xd8" + std::string(name) + ":" + still + "\xff\xd9";
  return r;
}

void expectonlythese(const std::vector<slideresult>& results, const std::vector<std::string>& stills,
                     const std::vector<std::pair<size_t, std::string>>& failures) {
  ASSERT_EQ(results.size(), stills.size());
  for (size_t i = 0; i < stills.size(); ++i) {
    const auto failure = std::find_if(failures.begin(), failures.end(), [&](const auto& f) { return f.first == i; });
    if (failure != failures.end()) {
      EXPECT_EQ(results[i].state, slidestate::unloadable) << stills[i];
      EXPECT_EQ(results[i].reason, failure->second) << stills[i];
    } else {
      EXPECT_EQ(results[i].state, slidestate::framed) << stills[i] << ": " << results[i].reason;
      EXPECT_EQ(results[i].jpeg, echoframe(("DSC" + std::to_string(i) + ".JPG").c_str(), stills[i]).jpeg) << stills[i];
    }
  }
}
