// Win32Window: a top-level window with one window class, child content that
// fills the client area, DPI and work-area handling, the title-bar theme and
// placement persistence. Window thread.
#pragma once

#include <windows.h>

#include <string>

class Win32Window {
 public:
  Win32Window();
  virtual ~Win32Window();

  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the window (hidden) at rect, physical screen pixels, outer frame.
  bool Create(const std::wstring& title, const RECT& rect);
  bool Show();
  void Destroy();

  void SetChildContent(HWND content);
  HWND GetHandle() const { return window_handle_; }
  void SetQuitOnClose(bool quit_on_close) { quit_on_close_ = quit_on_close; }
  RECT GetClientArea() const;

  // The initial window rectangle: the saved record or the default placement.
  static RECT LoadPlacement();
  void SavePlacement();
  void KeepInsideWorkArea();

 protected:
  virtual LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  virtual bool OnWindowCreated();
  virtual void OnWindowDestroyed();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void ApplyTitleBarTheme();
  void ApplyMinimumTrackSize(MINMAXINFO* info);

  bool quit_on_close_ = false;
  HWND window_handle_ = nullptr;
  HWND child_content_ = nullptr;
};
