#include "driver/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "testdir.h"

namespace fs = std::filesystem;

namespace {

TEST(StillFilter, WantsDSCAtTheStartAndJPGAnywhere) {
  for (const char* name : {"DSC0001.JPG", "DSC0001.JPG.bak", "DSC.JPG", "DSC_1.JPGX", "DSCa.JPG"})
    EXPECT_TRUE(isstill(name)) << name;
  for (const char* name : {"DSC_readme.txt", "dsc0001.jpg", "DSC0001.jpg", "IMG0003.JPG", "xDSC0001.JPG", "DS", "", ".",
                           "..", "DSC0001.JP", "DSC0001.Jpg"})
    EXPECT_FALSE(isstill(name)) << name;
}

TEST(StillList, LogsEveryEntryAndSortsStillsBytewise) {
  tempdir dir;
  const std::vector<std::string> names = {"DSCa.JPG",    "DSC0002.JPG", "notes.txt",       "DSC_1.JPG",
                                          "DSC9.JPG",    "DSCZ.JPG",    "DSC0001.JPG.bak", "DSC_readme.txt",
                                          "IMG0003.JPG", "dsc0004.jpg", "DSC0001.JPG"};
  for (const std::string& n : names) writefile(dir / n, "");
  fs::create_directory(dir / "DSC0005.JPG");  // the filter looks at names only

  folderlisting folder(dir.path());
  ASSERT_TRUE(folder.ok()) << folder.error();
  std::ostringstream log;
  std::string readerror;
  const std::vector<std::string> stills = liststills(folder, log, &readerror);

  EXPECT_EQ(readerror, "");
  EXPECT_EQ(stills, (std::vector<std::string>{"DSC0001.JPG", "DSC0001.JPG.bak", "DSC0002.JPG", "DSC0005.JPG",
                                              "DSC9.JPG", "DSCZ.JPG", "DSC_1.JPG", "DSCa.JPG"}));
  std::vector<std::string> logged = splitlines(log.str());
  std::vector<std::string> expected = {"file:.", "file:..", "file:DSC0005.JPG"};
  for (const std::string& n : names) expected.push_back("file:" + n);
  std::sort(logged.begin(), logged.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(logged, expected);
}

}  // namespace
