// Argument conversion, the link and clean-up rules, and the running-instance
// search against real windows.
#include "shell/single_instance.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <random>

#include "common/unique_resource.h"

TEST(ArgumentToUtf8, ConvertsValidTextAndEmptiesInvalidText) {
  EXPECT_EQ(ArgumentToUtf8(L"plain"), "plain");
  EXPECT_EQ(ArgumentToUtf8(L"gr\u00fc\u00df \u20ac"), "gr\xc3\xbc\xc3\x9f \xe2\x82\xac");
  EXPECT_EQ(ArgumentToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");  // a surrogate pair
  EXPECT_EQ(ArgumentToUtf8(nullptr), "");
  EXPECT_EQ(ArgumentToUtf8(L""), "");
  const wchar_t loneHigh[] = {L'a', 0xD800, L'b', 0};
  const wchar_t loneLow[] = {0xDC00, 0};
  const wchar_t reversed[] = {0xDE00, 0xD83D, 0};
  EXPECT_EQ(ArgumentToUtf8(loneHigh), "");
  EXPECT_EQ(ArgumentToUtf8(loneLow), "");
  EXPECT_EQ(ArgumentToUtf8(reversed), "");
}

TEST(CommandLineRules, SplitsAsCommandLineToArgvW) {
  auto reference = [](const std::wstring& line) {
    int count = 0;
    tovix::UniqueLocalMemory memory(CommandLineToArgvW(line.c_str(), &count));
    auto** argv = static_cast<wchar_t**>(memory.get());
    return std::vector<std::wstring>(argv, argv + count);
  };
  std::vector<std::wstring> lines = {L"\"C:\\Program Files\\Tovix.exe\" tovix://x \"a b\""};
  // And every short line of the characters that matter, at random.
  std::mt19937 random(7);
  const wchar_t alphabet[] = L"a \t\"\\";
  for (int i = 0; i < 20000; ++i) {
    std::wstring line(random() % 12, L'a');
    for (wchar_t& c : line) c = alphabet[random() % 5];
    lines.push_back(line);
  }
  for (const std::wstring& line : lines) {
    std::vector<std::wstring> expected = reference(line);
    std::vector<std::wstring> split = SplitCommandLine(line);
    if (line.empty()) split[0] = expected[0];  // the real one names this program
    ASSERT_EQ(split, expected) << "line [" << ArgumentToUtf8(line.c_str()) << "]";
  }
}

TEST(CommandLineRules, CleanupSwitchMatchesExactlyAnywhere) {
  EXPECT_TRUE(HasCleanupSwitch({"--km-cleanup"}));
  EXPECT_TRUE(HasCleanupSwitch({"x", "tovix://a", "--km-cleanup"}));
  EXPECT_FALSE(HasCleanupSwitch({"--KM-CLEANUP"}));
  EXPECT_FALSE(HasCleanupSwitch({"--km-cleanup "}));
  EXPECT_FALSE(HasCleanupSwitch({"--km-clean"}));
  EXPECT_FALSE(HasCleanupSwitch({}));
}

TEST(CommandLineRules, OnlyOneArgumentWithColonIsALink) {
  EXPECT_EQ(LinkArgument({"tovix://connect?x=1"}), std::optional<std::string>("tovix://connect?x=1"));
  EXPECT_EQ(LinkArgument({"C:\\profiles\\a.json"}), std::optional<std::string>("C:\\profiles\\a.json"));
  EXPECT_EQ(LinkArgument({":"}), std::optional<std::string>(":"));
  EXPECT_FALSE(LinkArgument({"no-colon"}).has_value());
  EXPECT_FALSE(LinkArgument({""}).has_value());
  EXPECT_FALSE(LinkArgument({"a:b", "c:d"}).has_value());
  EXPECT_FALSE(LinkArgument({}).has_value());
}

TEST(FindRunningInstance, IgnoresWindowsOfThisProcess) {
  // A "Tovix" window of our own process is never "another instance".
  HWND own = CreateWindowExW(0, L"STATIC", L"Tovix", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(FindRunningInstance(), nullptr);
  DestroyWindow(own);
}

namespace {

// A copy of this program started with this variable set shows a window
// titled "Tovix" for 20 s: to the search, an instance of this executable.
[[maybe_unused]] const bool windowHolder =
    GetEnvironmentVariableW(L"TOVIX_TEST_HOLD_WINDOW", nullptr, 0) != 0 &&
    (CreateWindowExW(0, L"STATIC", L"Tovix", 0, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr),
     Sleep(20000), ExitProcess(0), true);
std::optional<InstanceToken> pretended;  // of every process but this one

}  // namespace

TEST(FindRunningInstance, PassesOverAnInstanceOfAnotherUserOrSession) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SetEnvironmentVariableW(L"TOVIX_TEST_HOLD_WINDOW", L"1");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION holder{};
  ASSERT_TRUE(CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &holder));
  SetEnvironmentVariableW(L"TOVIX_TEST_HOLD_WINDOW", nullptr);
  HWND found = nullptr;  // Wine runs every process as one user, in one session
  for (int i = 0; i < 400 && !(found = FindRunningInstance()); ++i) Sleep(25);
  EXPECT_NE(found, nullptr);

  SetInstanceTokenReader([](HANDLE process) {
    return process == GetCurrentProcess() ? std::optional<InstanceToken>({{1, 2}, 1}) : pretended;
  });
  using Token = std::optional<InstanceToken>;
  for (Token token : {Token({{1, 3}, 1}), Token({{1, 2}, 2}), Token({{}, 1}), Token()}) {
    pretended = token;
    EXPECT_EQ(FindRunningInstance(), nullptr);
  }
  pretended = InstanceToken{{1, 2}, 1};
  EXPECT_EQ(FindRunningInstance(), found);
  SetInstanceTokenReader(nullptr);
  TerminateProcess(holder.hProcess, 0);
  CloseHandle(holder.hThread);
  CloseHandle(holder.hProcess);
}
