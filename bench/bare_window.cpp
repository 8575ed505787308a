// The baseline of the start-up benchmark: a program that creates one window,
// shows it and runs its message loop until the window is closed.
//
// Built a second time with TOVIX_BARE_WITH_EMBEDDER: the same program, also
// importing the embedder and the five plugin libraries (never calling them),
// so that the loader maps them as it does for any Flutter program. The gap
// between the two is what those libraries cost before any host code runs.
#include <windows.h>

#if defined(TOVIX_BARE_WITH_EMBEDDER)
#include "channels/embedder_api.h"
#include "channels/plugin_registrant.h"

// Referenced, so that the imports stay; never called.
extern "C" {
void* volatile tovixBareImports[] = {
    reinterpret_cast<void*>(&FlutterDesktopEngineCreate),
    reinterpret_cast<void*>(&AppLinksPluginCApiRegisterWithRegistrar),
    reinterpret_cast<void*>(&AudioplayersWindowsPluginRegisterWithRegistrar),
    reinterpret_cast<void*>(&ConnectivityPlusWindowsPluginRegisterWithRegistrar),
    reinterpret_cast<void*>(&FileSelectorWindowsRegisterWithRegistrar),
    reinterpret_cast<void*>(&UrlLauncherWindowsRegisterWithRegistrar)};
}
#endif

namespace {

LRESULT CALLBACK BareProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = BareProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"TovixBareWindow";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, L"TovixBareWindow", L"TovixBare", WS_OVERLAPPEDWINDOW, 272, 24, 480, 720,
                                nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOWNORMAL);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
