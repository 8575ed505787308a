// A test program for the Wine runner's own check: another process ends this
// one, as a stray TerminateProcess would. Under Wine it exits with code 0, and
// only the runner's finish mark tells it from a pass.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

TEST(EndedFromOutside, ByAnotherProcess) {
  std::wstring command = L"taskkill.exe /f /pid " + std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &created));
  CloseHandle(created.hThread);
  WaitForSingleObject(created.hProcess, 10000);
  CloseHandle(created.hProcess);
  Sleep(5000);
  FAIL() << "taskkill did not end this process";
}
