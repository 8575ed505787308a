// FlutterWindow: the main window, whose client area is the Flutter view. It
// starts the engine when created, registers the plugins and the host's
// channels, routes every message to the view first, drains VPN events and
// tears everything down when destroyed. Window thread.
#pragma once

#include <windows.h>

#include <memory>

#include "channels/engine_project.h"
#include "channels/flutter_view_controller.h"
#include "shell/win32_window.h"

// The ready marker: set (value 1) once the plugins are registered, so that a
// second instance may hand its link over.
constexpr wchar_t kAppLinksReadyProperty[] = L"Kelpmarrow.AppLinksReady.v1";

class FlutterWindow : public Win32Window {
 public:
  explicit FlutterWindow(const flutter::EngineProject& project);
  ~FlutterWindow() override;

 protected:
  LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;
  bool OnWindowCreated() override;
  void OnWindowDestroyed() override;

 private:
  flutter::EngineProject project_;
  std::unique_ptr<flutter::FlutterViewController> flutter_controller_;
};
