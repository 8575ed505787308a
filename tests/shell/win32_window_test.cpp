// Win32Window against real windows and the real (Wine) registry: creation,
// layout, DPI and work-area handling, placement saving and teardown.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "shell/placement_store.h"
#include "shell/win32_window.h"
#include "support/expect_rect.h"

namespace {

constexpr wchar_t kClassName[] = L"FLUTTER_RUNNER_WIN32_WINDOW";

class TestWindow : public Win32Window {
 public:
  bool createResult = true;
  int created = 0;
  int destroyed = 0;
  HWND handleSeenAtDestroy = nullptr;

 protected:
  bool OnWindowCreated() override {
    ++created;
    return createResult;
  }
  void OnWindowDestroyed() override {
    ++destroyed;
    handleSeenAtDestroy = GetHandle();
    if (teardownThrows && GetHandle() != nullptr) throw std::runtime_error("teardown failed");
  }

 public:
  bool teardownThrows = false;
};

bool ClassRegistered() {
  WNDCLASSEXW info{};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), kClassName, &info) != FALSE;
}

RECT WindowRect(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return rect;
}

// Works on the real placement key; restores what was there.
class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kWindowPlacementKey);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kWindowPlacementKey);
    if (saved_) WritePlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey, *saved_);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  std::optional<placement::Record> saved_;
};

}  // namespace

TEST_F(Win32WindowTest, CreatesHiddenWindowAtTheRectangle) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{30, 40, 530, 700}));
  EXPECT_EQ(window.created, 1);
  ASSERT_NE(window.GetHandle(), nullptr);
  EXPECT_FALSE(IsWindowVisible(window.GetHandle()));
  ExpectRect(WindowRect(window.GetHandle()), 30, 40, 530, 700);
  wchar_t className[64] = {};
  GetClassNameW(window.GetHandle(), className, 64);
  EXPECT_STREQ(className, kClassName);
  window.Show();
  EXPECT_TRUE(IsWindowVisible(window.GetHandle()));
}

TEST_F(Win32WindowTest, FailedOnWindowCreatedFailsCreate) {
  TestWindow window;
  window.createResult = false;
  EXPECT_FALSE(window.Create(L"ShellTest", RECT{0, 0, 400, 600}));
}

TEST_F(Win32WindowTest, ChildContentFillsTheClientAreaAndFollowsResizes) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{0, 0, 500, 700}));
  HWND holder = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, holder, nullptr, nullptr,
                               nullptr);
  ASSERT_NE(child, nullptr);
  window.SetChildContent(child);
  EXPECT_EQ(GetParent(child), window.GetHandle());
  RECT client = window.GetClientArea();
  RECT childRect{};
  GetClientRect(child, &childRect);
  EXPECT_EQ(childRect.right, client.right);
  EXPECT_EQ(childRect.bottom, client.bottom);

  SetWindowPos(window.GetHandle(), nullptr, 0, 0, 600, 800, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  client = window.GetClientArea();
  GetClientRect(child, &childRect);
  EXPECT_EQ(childRect.right, client.right);
  EXPECT_EQ(childRect.bottom, client.bottom);
  DestroyWindow(holder);
}

TEST_F(Win32WindowTest, MinimumTrackSizeAndDpiChange) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{0, 0, 500, 700}));
  MINMAXINFO info{};
  SendMessageW(window.GetHandle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, 380);
  EXPECT_EQ(info.ptMinTrackSize.y, 560);

  RECT suggested{20, 30, 620, 730};
  EXPECT_EQ(SendMessageW(window.GetHandle(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested)),
            0);
  ExpectRect(WindowRect(window.GetHandle()), 20, 30, 620, 730);
}

TEST_F(Win32WindowTest, DisplayAndWorkAreaChangesPullTheWindowInside) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{0, 0, 400, 600}));
  HWND handle = window.GetHandle();
  SetWindowPos(handle, nullptr, 900, 500, 400, 600, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(handle, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromWindow(handle, MONITOR_DEFAULTTONEAREST), &monitor);
  RECT rect = WindowRect(handle);
  EXPECT_EQ(rect.right, monitor.rcWork.right);
  EXPECT_EQ(rect.bottom, monitor.rcWork.bottom);
  EXPECT_EQ(rect.right - rect.left, 400);

  SetWindowPos(handle, nullptr, -300, -200, 400, 600, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(handle, WM_SETTINGCHANGE, 47, 0);
  rect = WindowRect(handle);
  EXPECT_EQ(rect.left, monitor.rcWork.left);
  EXPECT_EQ(rect.top, monitor.rcWork.top);

  // Another setting change leaves the window where it is.
  SetWindowPos(handle, nullptr, -300, -200, 400, 600, SWP_NOZORDER | SWP_NOACTIVATE);
  SendMessageW(handle, WM_SETTINGCHANGE, 0, 0);
  EXPECT_EQ(WindowRect(handle).left, -300);
}

TEST_F(Win32WindowTest, DestroySavesPlacementTearsDownAndPostsQuit) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{0, 0, 400, 600}));
  window.SetQuitOnClose(true);
  HWND handle = window.GetHandle();
  SetWindowPos(handle, nullptr, 40, 50, 500, 650, SWP_NOZORDER | SWP_NOACTIVATE);
  ASSERT_TRUE(DestroyWindow(handle));

  EXPECT_EQ(window.destroyed, 1);
  EXPECT_EQ(window.handleSeenAtDestroy, handle);  // the teardown still sees the window
  EXPECT_EQ(window.GetHandle(), nullptr);
  MSG message{};
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  std::optional<placement::Record> record = ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(*record, (placement::Record{1, 40, 50, 500, 650}));
}

TEST_F(Win32WindowTest, QuitIsPostedEvenWhenTheTeardownThrows) {
  TestWindow window;
  window.teardownThrows = true;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{0, 0, 400, 600}));
  window.SetQuitOnClose(true);
  ASSERT_TRUE(DestroyWindow(window.GetHandle()));
  EXPECT_EQ(window.destroyed, 1);
  EXPECT_EQ(window.GetHandle(), nullptr) << "the window counts as gone";
  MSG message{};
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(Win32WindowTest, EndOfMoveSavesButMinimisedOrMaximisedNever) {
  TestWindow window;
  ASSERT_TRUE(window.Create(L"ShellTest", RECT{10, 20, 410, 620}));
  HWND handle = window.GetHandle();
  SendMessageW(handle, WM_EXITSIZEMOVE, 0, 0);
  std::optional<placement::Record> record = ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(*record, (placement::Record{1, 10, 20, 400, 600}));

  ShowWindow(handle, SW_MAXIMIZE);
  ASSERT_TRUE(IsZoomed(handle));
  SendMessageW(handle, WM_EXITSIZEMOVE, 0, 0);
  ShowWindow(handle, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(handle));
  DestroyWindow(handle);
  EXPECT_EQ(ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey), record);
}

TEST_F(Win32WindowTest, ClassLivesWhileAnyWindowObjectLives) {
  auto first = std::make_unique<TestWindow>();
  auto second = std::make_unique<TestWindow>();
  ASSERT_TRUE(first->Create(L"ShellTest", RECT{0, 0, 400, 600}));
  ASSERT_TRUE(second->Create(L"ShellTest", RECT{0, 0, 400, 600}));
  EXPECT_TRUE(ClassRegistered());
  first.reset();
  EXPECT_TRUE(ClassRegistered());
  // A destroyed window whose object lives on keeps the class too.
  DestroyWindow(second->GetHandle());
  EXPECT_TRUE(ClassRegistered());
  second.reset();
  EXPECT_FALSE(ClassRegistered());
  // And it comes back for the next window.
  TestWindow third;
  EXPECT_TRUE(third.Create(L"ShellTest", RECT{0, 0, 400, 600}));
}
