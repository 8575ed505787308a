// FlutterWindow: view controller life, message routing, VPN event drain,
// resume handling and the ordered teardown. Window thread.
#include "shell/flutter_window.h"

#include <optional>

#include "channels/plugin_registrant.h"
#include "core/core_channels.h"
#include "core/vpn_events.h"
#include "network/network_monitor.h"

namespace {

constexpr WPARAM kResumeAutomatic = 18;  // PBT_APMRESUMEAUTOMATIC

}  // namespace

FlutterWindow::FlutterWindow(const flutter::EngineProject& project) : project_(project) {}

FlutterWindow::~FlutterWindow() {
  // However the message loop ended (the window closed, or the loop gave up on
  // a broken queue, or an exception), the window's teardown runs before the
  // object goes: the DNS rule removed, the core stopped, the placement saved.
  // Here, not in the base class's destructor, where this class's part of the
  // teardown could no longer be called.
  if (GetHandle() != nullptr) {
    try {
      SavePlacement();
    } catch (...) {
    }
  }
  Destroy();
  flutter_controller_.reset();
}

bool FlutterWindow::OnWindowCreated() {
  if (!Win32Window::OnWindowCreated()) return false;

  RECT frame = GetClientArea();
  flutter_controller_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, project_);
  if (!flutter_controller_->engine() || !flutter_controller_->view()) return false;

  RegisterPlugins(flutter_controller_->engine());
  SetPropW(GetHandle(), kAppLinksReadyProperty, reinterpret_cast<HANDLE>(1));
  RegisterCoreChannels(flutter_controller_->engine()->messenger(), GetHandle());
  SetChildContent(flutter_controller_->view()->GetNativeWindow());

  // The window appears only once the UI has drawn its first frame; the
  // network monitor starts then, so as not to delay that frame.
  HWND window = GetHandle();
  flutter_controller_->engine()->SetNextFrameCallback([window] {
    ShowWindow(window, SW_SHOWNORMAL);
    StartNetworkMonitor();
  });
  flutter_controller_->ForceRedraw();
  return true;
}

void FlutterWindow::OnWindowDestroyed() {
  if (GetHandle() != nullptr) RemovePropW(GetHandle(), kAppLinksReadyProperty);
  // Only a window that got as far as its controller registered the channels.
  if (flutter_controller_) {
    try {
      ShutdownCoreChannels();
    } catch (...) {
      // The view goes regardless.
    }
    flutter_controller_ = nullptr;
  }
  Win32Window::OnWindowDestroyed();
}

LRESULT FlutterWindow::HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == VpnEventMessage) {
    DrainVpnEvents();
    return 0;
  }
  if (flutter_controller_) {
    std::optional<LRESULT> result =
        flutter_controller_->HandleTopLevelWindowProc(window, message, wparam, lparam);
    if (result) return *result;
  }
  switch (message) {
    case WM_FONTCHANGE:
      if (flutter_controller_) flutter_controller_->engine()->ReloadSystemFonts();
      break;
    case WM_POWERBROADCAST:
      if (wparam == kResumeAutomatic) OnSystemResumed();
      break;
    default:
      break;
  }
  return Win32Window::HandleWindowMessage(window, message, wparam, lparam);
}
