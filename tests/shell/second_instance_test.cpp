// Second launches of Tovix.exe beside a running one: restore, link hand-off,
// what is not handed over, oversized links, another executable's window.
#include <gtest/gtest.h>

#include <string>

#include "shell/whole_program.h"

using whole_program::IndexOf;
using whole_program::ScratchInstall;

namespace {

class SecondInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    primary_ = install_.Start({}, {});
    ASSERT_TRUE(primary_.WaitForLine("frame", 20000));
    window_ = primary_.MainWindow(5000);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    EXPECT_FALSE(primary_.Wait(0).has_value()) << "the first instance ended";
    primary_.Close();
    EXPECT_EQ(primary_.Wait(20000), std::optional<DWORD>(0));
  }

  std::optional<DWORD> Second(const std::vector<std::wstring>& arguments) {
    return install_.Run(arguments, {}, 20000, L"second").exitCode;
  }

  std::vector<std::string> Links() {
    std::vector<std::string> links;
    for (const auto& line : primary_.Transcript()) {
      if (line.rfind("applink ", 0) == 0) links.push_back(line.substr(8));
    }
    return links;
  }

  ScratchInstall install_;
  whole_program::Process primary_;
  HWND window_ = nullptr;
};

}  // namespace

TEST_F(SecondInstance, WithoutArgumentsRestoresTheRunningWindow) {
  ShowWindow(window_, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window_));
  EXPECT_EQ(Second({}), std::optional<DWORD>(0));
  EXPECT_FALSE(IsIconic(window_));
  EXPECT_TRUE(Links().empty());
}

TEST_F(SecondInstance, OneArgumentWithColonIsHandedOverExactly) {
  const std::wstring link = L"tovix://import?name=caf\u00e9&x=1";
  EXPECT_EQ(Second({link}), std::optional<DWORD>(0));
  EXPECT_EQ(Second({L"C:\\profiles\\a b.json"}), std::optional<DWORD>(0));
  ASSERT_TRUE(primary_.WaitForLine("applink C:\\profiles\\a b.json", 5000));
  EXPECT_EQ(Links(), (std::vector<std::string>{"tovix://import?name=caf\xc3\xa9&x=1", "C:\\profiles\\a b.json"}));
}

TEST_F(SecondInstance, TwoArgumentsOrNoColonDeliverNothing) {
  ShowWindow(window_, SW_MINIMIZE);
  EXPECT_EQ(Second({L"tovix://a", L"tovix://b"}), std::optional<DWORD>(0));
  EXPECT_FALSE(IsIconic(window_));
  EXPECT_EQ(Second({L"plain-word"}), std::optional<DWORD>(0));
  EXPECT_EQ(Second({L""}), std::optional<DWORD>(0));
  Sleep(200);
  EXPECT_TRUE(Links().empty());
}

TEST_F(SecondInstance, LinkOverTheLimitIsRefused) {
  // 3-byte characters keep the command line under its 32767-character limit.
  const std::wstring atLimit = L"x:" + std::wstring(10922, L'\u20ac');  // 32768 bytes
  EXPECT_EQ(Second({atLimit + L"a"}), std::optional<DWORD>(1));
  EXPECT_EQ(Second({atLimit}), std::optional<DWORD>(0));
  ASSERT_TRUE(primary_.WaitForLine("applink x:", 5000, true));
  EXPECT_EQ(Links().size(), 1u);
  EXPECT_EQ(Links()[0].size(), 32768u);
}

TEST_F(SecondInstance, WindowOfAnotherExecutableIsIgnored) {
  // The same program copied elsewhere: the mutex says an instance runs, but
  // none of this executable's path exists, so it gives up after 5 s.
  ScratchInstall other;
  auto run = other.Run({L"tovix://elsewhere"}, {}, 20000, L"other");
  EXPECT_EQ(run.exitCode, std::optional<DWORD>(1));
  EXPECT_TRUE(Links().empty());
}
