// Argument conversion, the link and clean-up rules, and the running-instance
// search against real windows.
#include <gtest/gtest.h>

#include "shell/single_instance.h"

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

// A copy of this test program started with this variable set does nothing
// but show a window titled "Tovix" for up to 20 s: to the search, a running
// instance of the same executable.
constexpr wchar_t kHoldWindowVariable[] = L"TOVIX_TEST_HOLD_TOVIX_WINDOW";

[[maybe_unused]] const bool windowHolder = [] {
  if (GetEnvironmentVariableW(kHoldWindowVariable, nullptr, 0) == 0) return false;
  CreateWindowExW(0, L"STATIC", L"Tovix", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                  GetModuleHandleW(nullptr), nullptr);
  const ULONGLONG end = GetTickCount64() + 20000;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  ExitProcess(0);
}();

// What the fake reader says of every process but this one.
std::optional<InstanceToken> pretendedToken;
std::optional<InstanceToken> PretendedReader(HANDLE process) {
  if (process == GetCurrentProcess()) return InstanceToken{true, 1};
  return pretendedToken;
}

}  // namespace

TEST(FindRunningInstance, PassesOverAnInstanceThatIsNotElevatedInThisSession) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
  SetEnvironmentVariableW(kHoldWindowVariable, L"1");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION holder{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &holder);
  SetEnvironmentVariableW(kHoldWindowVariable, nullptr);
  ASSERT_TRUE(started);

  // Wine runs every process elevated, in one session: the real token check
  // lets the copy's window through.
  HWND found = nullptr;
  for (int i = 0; i < 400 && found == nullptr; ++i) {
    found = FindRunningInstance();
    if (found == nullptr) Sleep(25);
  }
  DWORD owner = 0;
  if (found) GetWindowThreadProcessId(found, &owner);
  EXPECT_EQ(owner, holder.dwProcessId);

  const std::optional<InstanceToken> passedOver[] = {
      InstanceToken{false, 1}, InstanceToken{true, 2}, std::nullopt};
  SetInstanceTokenReader(&PretendedReader);
  for (const auto& token : passedOver) {
    pretendedToken = token;
    EXPECT_EQ(FindRunningInstance(), nullptr);
  }
  pretendedToken = InstanceToken{true, 1};
  EXPECT_EQ(FindRunningInstance(), found) << "the fake reader itself lets a trusted one through";
  SetInstanceTokenReader(nullptr);

  TerminateProcess(holder.hProcess, 0);
  WaitForSingleObject(holder.hProcess, 5000);
  CloseHandle(holder.hThread);
  CloseHandle(holder.hProcess);
}
