// ExtractExecutablePath over shell open commands as browsers register them.
// Pure text; runs natively (sanitizers) and under Wine.
#include <gtest/gtest.h>

#include "browsers/registered_browsers.h"

namespace {

TEST(ExtractExecutablePath, QuotedCommandGivesTheTextBetweenTheQuotes) {
  EXPECT_EQ(ExtractExecutablePath(L"\"C:\\Program Files\\Browser\\browser.exe\" --single-argument %1"),
            L"C:\\Program Files\\Browser\\browser.exe");
  EXPECT_EQ(ExtractExecutablePath(L"\"C:\\tools\\run.cmd\" -x"), L"C:\\tools\\run.cmd")
      << "no extension test on a quoted path";
  EXPECT_EQ(ExtractExecutablePath(L"\"a\""), L"a");
  EXPECT_EQ(ExtractExecutablePath(L"\"\" rest"), L"") << "empty between the quotes";
}

TEST(ExtractExecutablePath, UnclosedOrBareQuoteGivesNothing) {
  EXPECT_EQ(ExtractExecutablePath(L"\"C:\\Browser\\browser.exe --flag"), L"");
  EXPECT_EQ(ExtractExecutablePath(L"\""), L"");
  EXPECT_EQ(ExtractExecutablePath(L""), L"");
}

TEST(ExtractExecutablePath, UnquotedCommandEndsAtTheFirstExe) {
  EXPECT_EQ(ExtractExecutablePath(L"C:\\Program Files\\Browser\\browser.EXE --single-argument"),
            L"C:\\Program Files\\Browser\\browser.EXE")
      << "spaces kept, case unchanged";
  EXPECT_EQ(ExtractExecutablePath(L"C:\\tools.exe.d\\run.exe"), L"C:\\tools.exe");
  EXPECT_EQ(ExtractExecutablePath(L"C:\\B\\b.ExE"), L"C:\\B\\b.ExE");
  EXPECT_EQ(ExtractExecutablePath(L".exe"), L".exe");
  EXPECT_EQ(ExtractExecutablePath(L"x.ex"), L"") << "shorter than .exe plus a name";
  EXPECT_EQ(ExtractExecutablePath(L"ab"), L"");
  EXPECT_EQ(ExtractExecutablePath(L"C:\\Br\u00D6wser\\Ex\u00E9.exe-not"),
            L"C:\\Br\u00D6wser\\Ex\u00E9.exe")
      << "non-ASCII letters before the extension keep their place";
}

TEST(ExtractExecutablePath, UnquotedCommandWithoutExeGivesNothing) {
  EXPECT_EQ(ExtractExecutablePath(L"C:\\Windows\\System32\\wscript.vbs //nologo %1"), L"");
  EXPECT_EQ(ExtractExecutablePath(L"C:\\browser.ex e"), L"");
}

}  // namespace
