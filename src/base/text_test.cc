#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(Text, NamesAreEscapedOnlyWhereATerminalWouldAct) {
  const std::pair<std::string, std::string> cases[] = {
      {"DSC0001.JPG", "DSC0001.JPG"},
      {"DSC\n1.JPG", "DSC\\n1.JPG"},
      {"tab\there\rreturn", "tab\\there\\rreturn"},
      {"title\x1b]0;owned\x07", "title\\033]0;owned\\007"},
      {"back\\slash", "back\\\\slash"},
      {"del\x7f", "del\\177"},
      {"\xce\xa9mega \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xb7",
       "\xce\xa9mega \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xb7"},
      {"c1 \xc2\x9b"
       "31m",
       "c1 \\xc2\\x9b31m"},                        // U+009B, a terminal's CSI
      {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"},  // not UTF-8
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"cut \xe6\x97", "cut \\xe6\\x97"},
      // Invisible format characters: a right-to-left override, a zero-width
      // space, a tag; the letters and marks around them stay.
      {"DSC\xe2\x80\xaegpj.JPG", "DSC\\xe2\\x80\\xaegpj.JPG"},
      {"zero\xe2\x80\x8bwidth \xf3\xa0\x80\x81", "zero\\xe2\\x80\\x8bwidth \\xf3\\xa0\\x80\\x81"},
      {"\xe2\x80\x90 \xe2\x81\xb0 soft\xc2\xad", "\xe2\x80\x90 \xe2\x81\xb0 soft\\xc2\\xad"},
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(escapedname(name), shown) << shown;
}

TEST(Text, WhatAnotherProcessSaidIsPrintableAscii) {
  EXPECT_EQ(printable("plain words 0-9 ~"), "plain words 0-9 ~");
  EXPECT_EQ(printable(std::string("nul\0 bell\x07 del\x7f \xc3\xa9\n", 19)), "nul? bell? del? ???");
  EXPECT_EQ(printable(""), "");
}

}  // namespace
