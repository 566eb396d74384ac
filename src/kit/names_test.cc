#include "kit/names.h"

#include <gtest/gtest.h>

namespace {

TEST(KitNames, FramesPadToFourDigits) {
  EXPECT_EQ(slidename(1), "out0001.jpg");
  EXPECT_EQ(slidename(42), "out0042.jpg");
  EXPECT_EQ(slidename(9999), "out9999.jpg");
  EXPECT_EQ(slidename(10000), "out10000.jpg");
  char name[17];
  ASSERT_TRUE(writeslidename(name, sizeof name, 7, ".", ".new"));  // just fits, with its terminating zero
  EXPECT_STREQ(name, ".out0007.jpg.new");
  // One byte more than fits: refused, not cut.
  EXPECT_FALSE(writeslidename(name, sizeof name, 7, "..", ".new"));
  for (const char* yes : {"out0001.jpg", "out10000.jpg", "out0000.jpg"}) EXPECT_TRUE(isslidename(yes)) << yes;
  for (const char* no : {"out001.jpg", "out00a1.jpg", "out0001.jpeg", "Out0001.jpg", "out0001.jpg.new", ""})
    EXPECT_FALSE(isslidename(no)) << no;
}

TEST(KitNames, NamesTheTemporaryFilesARunLeaves) {
  for (const char* name : {".out0001.jpg.new", ".out10000.jpg.new"}) EXPECT_TRUE(isdraftframe(name)) << name;
  for (const char* name :
       {"out0001.jpg", ".out001.jpg.new", ".outabcd.jpg.new", ".out0001.jpg", ".anim.avs.new", ".out0001.jpg.new.bak"})
    EXPECT_FALSE(isdraftframe(name)) << name;
  EXPECT_EQ(draftframename(3), ".out0003.jpg.new");
}

}  // namespace
