// Tovix.exe's entry point: primary instance (window and message loop),
// secondary instance (hand-off to the running one), clean-up mode, or the
// service switches (service_switches.h). Main thread, which becomes the
// window thread.
#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>
#include <vector>

#include "channels/engine_project.h"
#include "common/unique_resource.h"
#include "shell/cleanup_mode.h"
#include "shell/dll_search.h"
#include "shell/flutter_window.h"
#include "shell/service_switches.h"
#include "shell/single_instance.h"

namespace {

// Until GetMessageW returns 0 (WM_QUIT). A failed retrieval (-1: Wine gives it
// for a message it cannot unpack, such as a WM_COPYDATA of several MiB) is
// skipped, not taken for the end; only a long run of failures ends the loop,
// so that a broken queue cannot spin forever.
void RunMessageLoop() {
  constexpr int kMaxFailuresInARow = 1000;
  int failures = 0;
  MSG message;
  while (true) {
    BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == 0) return;
    if (result == -1) {
      if (++failures >= kMaxFailuresInARow) return;
      continue;
    }
    failures = 0;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

int RunPrimaryInstance(const std::vector<std::string>& arguments) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int exitCode = kExitOk;
  {
    flutter::EngineProject project(L"data");
    project.set_dart_entrypoint_arguments(arguments);
    FlutterWindow window(project);
    RECT rect = Win32Window::LoadPlacement();
    if (!window.Create(kMainWindowTitle, rect)) {
      exitCode = kExitFailure;
    } else {
      window.SetQuitOnClose(true);
      RunMessageLoop();
      CoUninitialize();
    }
  }  // the window object goes here, after COM
  return exitCode;
}

int Run(const std::vector<std::string>& arguments) {
  tovix::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
  const bool alreadyExists = GetLastError() == ERROR_ALREADY_EXISTS;
  const bool primary = mutex && !alreadyExists && FindRunningInstance() == nullptr;

  if (HasCleanupSwitch(arguments)) {
    // With an instance running, nothing is asked.
    return primary ? RunCleanupMode() : kExitOk;
  }
  if (!primary) {
    if (!mutex) return kExitFailure;
    return HandOffToRunningInstance(arguments);
  }
  return RunPrimaryInstance(arguments);
  // The mutex closes last, when `mutex` leaves this scope.
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a library.
  NarrowDllSearch();
  // A wall: nothing escapes the entry point as a crash.
  try {
    const std::vector<std::string> arguments = CommandLineArguments();
    if (const std::optional<int> code = RunServiceSwitch(arguments)) return *code;
    return Run(arguments);
  } catch (...) {
    return kExitFailure;
  }
}
