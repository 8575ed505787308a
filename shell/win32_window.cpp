// Win32Window: class registration, the window procedure, layout, DPI, theme
// and placement. Window thread.
#include "shell/win32_window.h"

#include <dwmapi.h>

#include <exception>

#include "shell/placement_store.h"
#include "shell/window_placement.h"

namespace {

constexpr wchar_t kWindowClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";
constexpr int kAppIconResource = 101;
constexpr DWORD kDarkModeAttribute = 20;  // DWMWA_USE_IMMERSIVE_DARK_MODE
constexpr WPARAM kSetWorkArea = 47;       // SPI_SETWORKAREA

// Live Win32Window objects and whether the class is registered. Window thread.
int liveWindowCount = 0;
bool classRegistered = false;

void EnableNonClientScaling(HWND window) {
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) return;
  using EnableNonClientDpiScalingFunction = BOOL(WINAPI*)(HWND);
  auto enable = reinterpret_cast<EnableNonClientDpiScalingFunction>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable != nullptr) enable(window);
  FreeLibrary(user32);
}

bool IsMinimisedOrMaximised(HWND window) { return IsIconic(window) || IsZoomed(window); }

}  // namespace

Win32Window::Win32Window() { ++liveWindowCount; }

Win32Window::~Win32Window() {
  --liveWindowCount;
  Destroy();
}

bool Win32Window::Create(const std::wstring& title, const RECT& rect) {
  if (window_handle_ != nullptr) Destroy();
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!classRegistered) {
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = &Win32Window::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kAppIconResource));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);
    classRegistered = true;
  }
  HWND window = CreateWindowExW(0, kWindowClassName, title.c_str(), WS_OVERLAPPEDWINDOW, rect.left,
                                rect.top, rect.right - rect.left, rect.bottom - rect.top, nullptr,
                                nullptr, instance, this);
  if (window == nullptr) return false;
  ApplyTitleBarTheme();
  return OnWindowCreated();
}

bool Win32Window::Show() { return ShowWindow(window_handle_, SW_SHOWNORMAL) != FALSE; }

void Win32Window::Destroy() {
  OnWindowDestroyed();
  if (window_handle_ != nullptr) {
    // Forgotten first, so that WM_DESTROY knows the teardown already ran.
    HWND window = window_handle_;
    window_handle_ = nullptr;
    DestroyWindow(window);
  }
  if (liveWindowCount == 0 && classRegistered) {
    UnregisterClassW(kWindowClassName, GetModuleHandleW(nullptr));
    classRegistered = false;
  }
}

void Win32Window::SetChildContent(HWND content) {
  child_content_ = content;
  SetParent(content, window_handle_);
  RECT frame = GetClientArea();
  MoveWindow(content, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top, TRUE);
  SetFocus(child_content_);
}

RECT Win32Window::GetClientArea() const {
  RECT frame{};
  GetClientRect(window_handle_, &frame);
  return frame;
}

RECT Win32Window::LoadPlacement() {
  std::optional<placement::Record> record = ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
  if (record && placement::IsValidRecord(*record)) {
    // Left + 8 and Top + 8 may pass the end of the int range on a corrupt record.
    auto nudge = [](std::uint32_t bits) {
      long long value = static_cast<std::int32_t>(bits) + 8LL;
      return static_cast<LONG>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
    };
    POINT probe{nudge(record->left), nudge(record->top)};
    MonitorFacts monitor = DescribeMonitor(MonitorFromPoint(probe, MONITOR_DEFAULTTONEAREST));
    return ToRect(placement::RestoredPlacement(*record, monitor.dpi, monitor.workArea));
  }
  MonitorFacts monitor = DescribeMonitor(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));
  return ToRect(placement::DefaultPlacement(monitor.dpi, monitor.workArea));
}

void Win32Window::SavePlacement() {
  if (window_handle_ == nullptr || IsMinimisedOrMaximised(window_handle_)) return;
  RECT rect{};
  if (!GetWindowRect(window_handle_, &rect)) return;
  MonitorFacts monitor = DescribeMonitor(MonitorFromWindow(window_handle_, MONITOR_DEFAULTTONEAREST));
  WritePlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey,
                       placement::RecordFor(ToPlacementRect(rect), monitor.dpi));
}

void Win32Window::KeepInsideWorkArea() {
  if (window_handle_ == nullptr || IsMinimisedOrMaximised(window_handle_)) return;
  RECT current{};
  if (!GetWindowRect(window_handle_, &current)) return;
  MonitorFacts monitor = DescribeMonitor(MonitorFromWindow(window_handle_, MONITOR_DEFAULTTONEAREST));
  RECT wanted = ToRect(placement::KeptInsideWorkArea(ToPlacementRect(current), monitor.workArea));
  if (EqualRect(&wanted, &current)) return;
  SetWindowPos(window_handle_, nullptr, wanted.left, wanted.top, wanted.right - wanted.left,
               wanted.bottom - wanted.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Win32Window::OnWindowCreated() { return true; }

void Win32Window::OnWindowDestroyed() {}

void Win32Window::ApplyTitleBarTheme() {
  DWORD lightTheme = 1;
  DWORD size = sizeof(lightTheme);
  if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                   L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &lightTheme, &size) != ERROR_SUCCESS) {
    return;
  }
  BOOL dark = lightTheme == 0 ? TRUE : FALSE;
  DwmSetWindowAttribute(window_handle_, kDarkModeAttribute, &dark, sizeof(dark));
}

void Win32Window::ApplyMinimumTrackSize(MINMAXINFO* info) {
  MonitorFacts monitor = DescribeMonitor(MonitorFromWindow(window_handle_, MONITOR_DEFAULTTONEAREST));
  placement::Size minimum = placement::MinimumTrackSize(monitor.dpi, monitor.workArea);
  info->ptMinTrackSize.x = minimum.width;
  info->ptMinTrackSize.y = minimum.height;
}

LRESULT Win32Window::HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      // When Destroy() started this, it has already run the teardown. A
      // teardown that fails still lets the quit message go out: the window is
      // gone, and the message loop must not wait for it.
      if (window_handle_ != nullptr) {
        try {
          SavePlacement();
        } catch (...) {
        }
        try {
          OnWindowDestroyed();
        } catch (...) {
        }
        window_handle_ = nullptr;
      }
      if (quit_on_close_) PostQuitMessage(0);
      return 0;
    case WM_SIZE:
      if (child_content_ != nullptr) {
        RECT frame = GetClientArea();
        MoveWindow(child_content_, frame.left, frame.top, frame.right - frame.left,
                   frame.bottom - frame.top, TRUE);
      }
      return 0;
    case WM_ACTIVATE:
      if (child_content_ != nullptr) SetFocus(child_content_);
      return 0;
    case WM_SETTINGCHANGE:
      if (wparam == kSetWorkArea) KeepInsideWorkArea();
      break;
    case WM_GETMINMAXINFO:
      ApplyMinimumTrackSize(reinterpret_cast<MINMAXINFO*>(lparam));
      return 0;
    case WM_DISPLAYCHANGE:
      KeepInsideWorkArea();
      break;
    case WM_EXITSIZEMOVE:
      SavePlacement();
      break;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_DWMCOLORIZATIONCOLORCHANGED:
      ApplyTitleBarTheme();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_handle_ != nullptr ? window_handle_ : window, message, wparam, lparam);
}

LRESULT CALLBACK Win32Window::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // A wall: no exception leaves the window procedure.
  try {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      auto* self = static_cast<Win32Window*>(create->lpCreateParams);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      EnableNonClientScaling(window);
      self->window_handle_ = window;
      return DefWindowProcW(window, message, wparam, lparam);
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    if (self != nullptr) return self->HandleWindowMessage(window, message, wparam, lparam);
  } catch (const std::exception&) {
  } catch (...) {
  }
  return DefWindowProcW(window, message, wparam, lparam);
}
