// Shared ground for the tests that start the real stand-in core under Wine.
// The test program lives in a folder of its own (see supervision.cmake):
// <folder>\bin\sing-box.exe and <folder>\bin\wintun.dll are what the host
// finds; <folder>\standin\sing-box.exe is the pristine copy each test
// restores the layout from. Events are read back from the session log's
// "[EVENT:...]" lines and from LastVpnState.
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

// The core's stand-in controls (TOVIX_STANDIN_CORE), inherited by the core;
// empty removes the variable.
void SetStandInControls(const std::string& controls);

// Tagged lines of the last session in a session log ("[ts] tag text"), banner
// and end lines left out.
std::vector<LogLine> ReadLogLines(const fs::path& log);
std::vector<Event> ReadLoggedEvents(const fs::path& log);
std::string ReadWholeFile(const fs::path& file);

// Polls every 5 ms; false when `timeoutMs` passed first.
bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs);
bool WaitForState(const std::string& state, DWORD timeoutMs = 15000);

// Running sing-box.exe processes whose parent is `parent`.
std::vector<DWORD> CoreProcessesOf(DWORD parent = GetCurrentProcessId());
DWORD ThreadCount();
DWORD HandleCount();

// Sleeps into the next wall-clock second, so that the next session log gets
// a file name of its own (the name has a one-second stamp).
void NextSecond();

// "argv: ..." line the stand-in prints when the host starts it from `core`.
std::string ExpectedArgvLine(const fs::path& core, const fs::path& data);
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
