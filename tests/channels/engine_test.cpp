// The engine and view-controller wrappers and plugin registration against the
// stand-in embedder and the stand-in plugin DLLs, in this process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "channels/flutter_view_controller.h"
#include "channels/plugin_registrant.h"

namespace fs = std::filesystem;

namespace {

// A project folder with (or without) flutter_assets, and a transcript.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    folder_ = fs::path(temp) / (L"tovix-engine-" + std::to_wstring(GetCurrentProcessId()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / L"data" / L"flutter_assets");
    transcript_ = folder_ / L"transcript.txt";
    SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", transcript_.c_str());
    SetEnvironmentVariableW(L"TOVIX_UI_SCRIPT", nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", nullptr);
    std::error_code error;
    fs::remove_all(folder_, error);
  }

  flutter::EngineProject Project() const { return flutter::EngineProject((folder_ / L"data").wstring()); }

  std::vector<std::string> Transcript() const {
    std::vector<std::string> lines;
    std::ifstream file(transcript_);
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
  }

  // Pumps this thread's messages until done() or the time is up.
  template <typename Done>
  bool PumpUntil(Done done, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      if (GetTickCount64() - start >= timeoutMs) return done();
      Sleep(5);
    }
    return true;
  }

  fs::path folder_;
  fs::path transcript_;
};

int PluginCalls(const wchar_t* dll, FlutterDesktopPluginRegistrarRef* registrar) {
  HMODULE module = GetModuleHandleW(dll);
  if (module == nullptr) return -1;
  using Calls = int (*)(FlutterDesktopPluginRegistrarRef*);
  auto calls = reinterpret_cast<Calls>(reinterpret_cast<void*>(GetProcAddress(module, "TovixStandinPluginCalls")));
  return calls != nullptr ? calls(registrar) : -1;
}

}  // namespace

TEST_F(EngineTest, ArgumentsReachTheEngine) {
  flutter::EngineProject project = Project();
  project.set_dart_entrypoint_arguments({"one", "tovix://two"});
  { flutter::FlutterEngine engine(project); }
  ASSERT_FALSE(Transcript().empty());
  EXPECT_EQ(Transcript()[0], "engine args=2 one tovix://two");
  { flutter::FlutterEngine engine(Project()); }
  EXPECT_EQ(Transcript()[0], "engine args=0");
}

TEST_F(EngineTest, PluginsRegisterInOrderEachWithItsOwnRegistrar) {
  flutter::FlutterViewController controller(400, 600, Project());
  ASSERT_NE(controller.view(), nullptr);
  RegisterPlugins(controller.engine());
  std::vector<std::string> lines = Transcript();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "plugin AppLinksPluginCApi");
  EXPECT_EQ(lines[2], "plugin AudioplayersWindowsPlugin");
  EXPECT_EQ(lines[3], "plugin ConnectivityPlusWindowsPlugin");
  EXPECT_EQ(lines[4], "plugin FileSelectorWindows");
  EXPECT_EQ(lines[5], "plugin UrlLauncherWindows");

  const std::pair<const wchar_t*, const char*> plugins[] = {
      {L"app_links_plugin.dll", "AppLinksPluginCApi"},
      {L"audioplayers_windows_plugin.dll", "AudioplayersWindowsPlugin"},
      {L"connectivity_plus_plugin.dll", "ConnectivityPlusWindowsPlugin"},
      {L"file_selector_windows_plugin.dll", "FileSelectorWindows"},
      {L"url_launcher_windows_plugin.dll", "UrlLauncherWindows"},
  };
  for (const auto& [dll, name] : plugins) {
    FlutterDesktopPluginRegistrarRef registrar = nullptr;
    EXPECT_GE(PluginCalls(dll, &registrar), 1) << name;
    EXPECT_NE(registrar, nullptr) << name;
    EXPECT_EQ(registrar, controller.engine()->GetRegistrarForPlugin(name)) << name;
  }
}

TEST_F(EngineTest, TopLevelMessagesReachPluginDelegates) {
  flutter::FlutterViewController controller(400, 600, Project());
  ASSERT_NE(controller.view(), nullptr);
  HWND window = controller.view()->GetNativeWindow();
  ASSERT_TRUE(IsWindow(window));
  EXPECT_FALSE(controller.HandleTopLevelWindowProc(window, WM_COPYDATA, 0, 0).has_value());
  RegisterPlugins(controller.engine());
  std::string text = "tovix://link";
  COPYDATASTRUCT record{1026, static_cast<DWORD>(text.size() + 1), text.data()};
  std::optional<LRESULT> result =
      controller.HandleTopLevelWindowProc(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, TRUE);
  EXPECT_EQ(Transcript().back(), "applink tovix://link");
  // Other messages go on to the window's own handling.
  EXPECT_FALSE(controller.HandleTopLevelWindowProc(window, WM_SIZE, 0, 0).has_value());
}

TEST_F(EngineTest, NextFrameCallbackFiresOncePerRequest) {
  flutter::FlutterViewController controller(400, 600, Project());
  ASSERT_NE(controller.view(), nullptr);
  int calls = 0;
  controller.engine()->SetNextFrameCallback([&calls] { ++calls; });
  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, 5000));
  controller.ForceRedraw();
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(calls, 1);
  // A new request fires again, once.
  controller.engine()->SetNextFrameCallback([&calls] { calls += 10; });
  controller.ForceRedraw();
  controller.ForceRedraw();
  ASSERT_TRUE(PumpUntil([&] { return calls == 11; }, 5000));
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(calls, 11);
}

TEST_F(EngineTest, MissingAssetsFailTheViewControllerWithItsMessage) {
  fs::remove_all(folder_ / L"data" / L"flutter_assets");
  std::ostringstream captured;
  std::streambuf* old = std::cerr.rdbuf(captured.rdbuf());
  {
    flutter::FlutterViewController controller(400, 600, Project());
    EXPECT_EQ(controller.view(), nullptr);
    EXPECT_NE(controller.engine(), nullptr);
    EXPECT_FALSE(controller.HandleTopLevelWindowProc(nullptr, WM_SIZE, 0, 0).has_value());
  }
  std::cerr.rdbuf(old);
  EXPECT_EQ(captured.str(), "Failed to create view controller.\n");
}
