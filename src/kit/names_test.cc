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

TEST(KitNames, ACopyIsKnownByTheNameItCopies) {
  EXPECT_EQ(copyname("show.mp4", 283, 0), ".show.mp4.new283-0");
  for (const char* yes : {".show.mp4.new283-0", ".show.mp4.new1-99"}) EXPECT_TRUE(iscopyname(yes, "show.mp4")) << yes;
  for (const char* no : {"show.mp4", ".show.mp4.new", ".show.mp4.new283", ".show.mp4.new-0", ".show.mp4.new283-",
                         ".show.mp4.new28x-0", ".show.mp4.new283-0.bak", ".show.mkv.new283-0", ".xshow.mp4.new283-0"})
    EXPECT_FALSE(iscopyname(no, "show.mp4")) << no;
}

}  // namespace
