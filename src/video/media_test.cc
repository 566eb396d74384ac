#include "video/media.h"

#include <gtest/gtest.h>

#include <string>

// The media library this build linked, loaded as the installed tool loads
// it (under qemu-user in the arm64 build, from the package in its test run),
// has every encoder and filter a video needs.
TEST(Media, TheLinkedLibraryCanRender) {
  std::string why;
  EXPECT_TRUE(canrender(&why)) << why;
  EXPECT_EQ(why, "");
}
