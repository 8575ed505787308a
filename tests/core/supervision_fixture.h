// Shared ground for the tests that start the real stand-in core under Wine.
// The test program lives in a folder laid out like an installation (see
// supervision.cmake): TovixService.exe and TovixDnsGuard.exe beside it, and
// <folder>\bin\sing-box.exe and <folder>\bin\wintun.dll, which the
// privileged program finds; <folder>\standin\sing-box.exe is the pristine
// copy each test restores the layout from. The core is the privileged
// program's child and has that program's environment, so the tests steer it
// through standin-core.txt beside it. Events are read back from the session
// log's "[EVENT:...]" lines and from LastVpnState.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace supervision_test {

namespace fs = std::filesystem;

using Event = std::pair<std::string, std::string>;  // state, message
using LogLine = std::pair<std::string, std::string>;  // tag, text

fs::path ExeFolder();
fs::path BinCore();       // <folder>\bin\sing-box.exe
fs::path BesideCore();    // <folder>\sing-box.exe
fs::path Wintun();        // <folder>\bin\wintun.dll
fs::path PristineCore();  // <folder>\standin\sing-box.exe
fs::path StandInControlsFile();  // <folder>\bin\standin-core.txt, read before the variable

// The folder the core works in: "<common application data>\Kelpmarrow\core".
fs::path VpnFolder();

// The core's stand-in controls, as the first line of its standin-core.txt
// (an empty line: none, whatever the environment holds).
void SetStandInControls(const std::string& controls);

// Tagged lines of the last session in a session log ("[ts] tag text"), banner
// and end lines left out.
std::vector<LogLine> ReadLogLines(const fs::path& log);
std::vector<Event> ReadLoggedEvents(const fs::path& log);
std::string ReadWholeFile(const fs::path& file);

// Polls every 5 ms; false when `timeoutMs` passed first.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);
bool WaitForState(const std::string& state, DWORD timeoutMs = 15000);

// Running processes named `image` whose parent is `parent`.
std::vector<DWORD> ProcessesOf(DWORD parent, const wchar_t* image);
// The privileged programs (TovixService.exe) this process started; 0 when none.
DWORD BrokerOf(DWORD client = GetCurrentProcessId());
// Running sing-box.exe processes whose parent is `parent`, by default the
// privileged program of this process.
std::vector<DWORD> CoreProcessesOf(DWORD parent = 0);
DWORD ThreadCount();
DWORD HandleCount();

// Sleeps into the next wall-clock second, so that the next session log gets
// a file name of its own (the name has a one-second stamp).
void NextSecond();

// "argv: ..." line the stand-in prints when it is started from `core`, in
// the VPN folder.
std::string ExpectedArgvLine(const fs::path& core);
// "config bytes=<n> fnv1a=<hex>" as the stand-in prints it.
std::string ExpectedConfigEcho(const std::string& config);

class CoreSupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts with `controls`; asserts success.
  void StartOk(const std::string& controls, const std::string& config = "{}");

  fs::path data_;
};

}  // namespace supervision_test
