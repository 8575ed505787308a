#include "common/text.h"

#include <gtest/gtest.h>

TEST(ToUtf8, ConvertsBmpAndSurrogatePairs) {
  EXPECT_EQ(ToUtf8(L""), "");
  EXPECT_EQ(ToUtf8(L"Tovix"), "Tovix");
  EXPECT_EQ(ToUtf8(L"\x0412\x0435"), "\xD0\x92\xD0\xB5");
  EXPECT_EQ(ToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(ToUtf8, KeepsEmbeddedNulsAndLength) {
  std::wstring text(L"a\0b", 3);
  EXPECT_EQ(ToUtf8(text), std::string("a\0b", 3));
}

TEST(ToUtf16, RoundTripsUtf8) {
  EXPECT_EQ(ToUtf16("C:\\\xD0\x92\\x"), L"C:\\\x0412\\x");
  EXPECT_EQ(ToUtf8(ToUtf16("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
}
