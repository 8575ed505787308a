// FlutterWindow's teardown against the stand-in embedder and the real
// privileged program (TovixService.exe beside this test): it runs however the
// window's life ends, also when the message loop gave up and the object
// simply goes out of scope. That the privileged program then ends the core
// and removes the rule is the whole-program tests' matter.
#include "shell/flutter_window.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/privileged_client.h"
#include "shell/placement_store.h"
#include "support/scratch_folder.h"

TEST(FlutterWindowTeardown, RunsWhenTheObjectGoesWithoutTheWindowBeingClosed) {
  ScratchFolder folder;
  // The teardown saves the placement: keep whatever was saved before.
  const std::optional<placement::Record> saved =
      ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
  std::filesystem::create_directories(folder.path() / L"data" / L"flutter_assets");
  SetEnvironmentVariableW(L"TOVIX_UI_SCRIPT", nullptr);
  SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", (folder.path() / L"transcript.txt").c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, kWindowPlacementKey);
  HWND handle = nullptr;
  {
    flutter::EngineProject project((folder.path() / L"data").wstring());
    FlutterWindow window(project);
    ASSERT_TRUE(window.Create(L"TeardownTest", RECT{0, 0, 400, 600}));
    handle = window.GetHandle();
    // As after a first "start": connected to the privileged program.
    std::string error;
    std::optional<PrivilegedClient::Hello> hello;
    ASSERT_TRUE(PrivilegedClient::Ensure(error, hello)) << error;
    ASSERT_TRUE(PrivilegedClient::Connected());
    // No WM_CLOSE, no WM_DESTROY: the object goes as after a message loop
    // that gave up on a broken queue.
  }
  EXPECT_FALSE(PrivilegedClient::Connected()) << "the shutdown of the core channels ran";
  EXPECT_TRUE(ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey).has_value())
      << "the placement was saved";
  EXPECT_FALSE(IsWindow(handle));
  RegDeleteTreeW(HKEY_CURRENT_USER, kWindowPlacementKey);
  if (saved) WritePlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey, *saved);
  SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", nullptr);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}
