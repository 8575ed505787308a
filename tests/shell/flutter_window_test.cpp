// FlutterWindow's teardown against the stand-in embedder and the real (Wine)
// machine registry: it runs however the window's life ends, also when the
// message loop gave up and the object simply goes out of scope.
#include "shell/flutter_window.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "network/dns_policy.h"
#include "shell/placement_store.h"
#include "support/machine_rule.h"
#include "support/scratch_folder.h"

TEST(FlutterWindowTeardown, RunsWhenTheObjectGoesWithoutTheWindowBeingClosed) {
  ScratchFolder folder;
  // The teardown saves the placement: keep whatever was saved before.
  const std::optional<placement::Record> saved =
      ReadPlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey);
  std::filesystem::create_directories(folder.path() / L"data" / L"flutter_assets");
  SetEnvironmentVariableW(L"TOVIX_UI_SCRIPT", nullptr);
  SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", (folder.path() / L"transcript.txt").c_str());
  HWND handle = nullptr;
  {
    flutter::EngineProject project((folder.path() / L"data").wstring());
    FlutterWindow window(project);
    ASSERT_TRUE(window.Create(L"TeardownTest", RECT{0, 0, 400, 600}));
    handle = window.GetHandle();
    // As the DNS policy worker leaves it while a core runs.
    InstallDnsPolicyRule(MachineDnsPolicyTarget(), {L"10.0.0.53"});
    ASSERT_TRUE(MachineDnsRulePresent());
    // No WM_CLOSE, no WM_DESTROY: the object goes as after a message loop
    // that gave up on a broken queue.
  }
  EXPECT_FALSE(MachineDnsRulePresent()) << "the shutdown of the core channels ran";
  EXPECT_FALSE(IsWindow(handle));
  DeleteDnsPolicyRule(MachineDnsPolicyTarget());
  RegDeleteTreeW(HKEY_CURRENT_USER, kWindowPlacementKey);
  if (saved) WritePlacementRecord(HKEY_CURRENT_USER, kWindowPlacementKey, *saved);
  SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", nullptr);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}
