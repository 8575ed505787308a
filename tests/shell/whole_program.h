// Whole-program test harness: runs Tovix.exe under Wine with the stand-ins,
// a UI script and a transcript. Windows side, test thread.
//
// Use (link `tovix_whole_program`, take LOCKS datadir instance hklm hkcu_window):
//   whole_program::ScratchInstall install;           // Tovix.exe, DLLs, data\, bin\ in %TEMP%
//   auto run = install.Run({L"arg"}, {
//       "call kelpmarrow.vpn/core " + whole_program::MethodCallHex("status"),
//       "close"});
//   EXPECT_EQ(run.exitCode, 0u);                     // run.transcript: the lines
//   auto reply = whole_program::ReplyTo(run.transcript, "kelpmarrow.vpn/core");
// For a process that must keep running (second instances, window checks):
//   auto app = install.Start({}, {});                 // no script: the UI does nothing
//   app.WaitForLine("frame", 10000); HWND w = app.MainWindow(5000); ...
//   app.Close(); app.Wait(10000);
// Everything started is killed and the folder removed when the objects go.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "channels/encodable_value.h"
#include "common/unique_resource.h"
#include "tools/transcript_render.h"

namespace whole_program {

struct InstallOptions {
  bool withData = true;      // data\flutter_assets (without it the view cannot be created)
  bool withCore = true;      // bin\sing-box.exe (when built) and bin\wintun.dll
};

// A running Tovix.exe (or any program started by Start).
class Process {
 public:
  Process() = default;
  Process(tovix::UniqueHandle process, std::filesystem::path transcript, DWORD processId);
  Process(Process&&) = default;
  Process& operator=(Process&&) = default;
  ~Process();  // kills the process if it still runs

  // The exit code, or nullopt when it did not end within the time.
  std::optional<DWORD> Wait(DWORD timeoutMs);
  // Transcript lines so far (empty when there is none).
  std::vector<std::string> Transcript() const;
  // Waits until a transcript line equals `line` (or starts with it when
  // `prefix`); false on timeout or when the process ended without it.
  bool WaitForLine(const std::string& line, DWORD timeoutMs, bool prefix = false);
  // The process's main window ("Tovix"), waiting for it to exist.
  HWND MainWindow(DWORD timeoutMs) const;
  // Posts WM_CLOSE to the main window.
  bool Close();
  void Kill();
  DWORD id() const { return processId_; }
  HANDLE handle() const { return process_.get(); }

 private:
  tovix::UniqueHandle process_;
  std::filesystem::path transcript_;
  DWORD processId_ = 0;
};

struct RunResult {
  std::optional<DWORD> exitCode;  // nullopt: timed out (then killed)
  std::vector<std::string> transcript;
};

class ScratchInstall {
 public:
  explicit ScratchInstall(InstallOptions options = {});
  ~ScratchInstall();
  ScratchInstall(const ScratchInstall&) = delete;
  ScratchInstall& operator=(const ScratchInstall&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path exe() const { return folder_ / L"Tovix.exe"; }

  // Starts Tovix.exe with these arguments. With script lines, they are
  // written to a script file (TOVIX_UI_SCRIPT); a transcript is always
  // requested (TOVIX_UI_TRANSCRIPT). `name` keeps files of several
  // processes apart.
  Process Start(const std::vector<std::wstring>& arguments, const std::vector<std::string>& script,
                const std::wstring& name = L"main");
  // Start, wait up to timeoutMs for the exit, read the transcript.
  RunResult Run(const std::vector<std::wstring>& arguments, const std::vector<std::string>& script,
                DWORD timeoutMs = 60000, const std::wstring& name = L"main");

 private:
  std::filesystem::path folder_;
};

// Quotes an argument for a command line (CommandLineToArgvW rules).
std::wstring QuoteArgument(const std::wstring& argument);

// Standard-codec method call, lower-case hex, ready for "call <channel> <hex>".
std::string MethodCallHex(const std::string& method,
                          const flutter::EncodableValue& arguments = flutter::EncodableValue());
// The event channel's "listen" call.
std::string ListenHex();

// The decoded payload of the n-th "reply <channel> ..." line (0-based).
std::optional<transcript::Reply> ReplyTo(const std::vector<std::string>& lines, const std::string& channel,
                                         size_t n = 0);
// Index of the first line equal to (or, with prefix, starting with) text; -1 if none.
int IndexOf(const std::vector<std::string>& lines, const std::string& text, bool prefix = false);

// The folder of the running test program (<build>/bin).
std::filesystem::path BinaryFolder();

}  // namespace whole_program
