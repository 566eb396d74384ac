// The test program's entry: a worker first (where workers are fresh
// processes of this program), the test suite otherwise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "workerkinds.h"

namespace {

// Where VANTREL_SKIPPED names a folder (CTest's runs), a skipped test leaves
// a file there, named for it, that holds why it skipped; the last line of
// the run sums them up (cmake/skipped.cmake).
class skipnotes : public ::testing::EmptyTestEventListener {
 public:
  explicit skipnotes(std::filesystem::path folder) : folder_(std::move(folder)) {}
  void OnTestEnd(const ::testing::TestInfo& test) override {
    const ::testing::TestResult& result = *test.result();
    if (!result.Skipped()) return;
    std::string why;
    for (int i = 0; i < result.total_part_count(); ++i)
      if (result.GetTestPartResult(i).skipped()) why = result.GetTestPartResult(i).message();
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    std::ofstream(folder_ / (std::string(test.test_suite_name()) + "." + test.name()), std::ios::binary) << why;
  }

 private:
  std::filesystem::path folder_;
};

}  // namespace

int main(int argc, char** argv) {
  serveifworker({argv + 1, argv + argc}, findworkerkind);
  ::testing::InitGoogleTest(&argc, argv);
  if (const char* folder = std::getenv("VANTREL_SKIPPED"); folder && *folder)
    ::testing::UnitTest::GetInstance()->listeners().Append(new skipnotes(folder));
  return RUN_ALL_TESTS();
}
