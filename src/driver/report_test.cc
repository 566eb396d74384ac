#include "driver/report.h"

#include <gtest/gtest.h>

namespace {

TEST(Report, AWorkersWordsAreLinesAboutItsStill) {
  EXPECT_EQ(workerlines("DSC1.JPG", "free(): double free detected\nAborted\n"),
            "vantrel: DSC1.JPG: free(): double free detected\nvantrel: DSC1.JPG: Aborted\n");
  EXPECT_EQ(workerlines("DSC\n2.JPG", "no line end\x1b[2J"), "vantrel: DSC\\n2.JPG: no line end?[2J\n");
  EXPECT_EQ(workerlines("DSC3.JPG", ""), "");
}

}  // namespace
