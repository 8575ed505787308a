// Window placement through Tovix.exe under Wine (one 1024 x 768 monitor at
// 96 DPI): first run, restored records, invalid records, saving on close.
#include <gtest/gtest.h>

#include "shell/placement_store.h"
#include "shell/whole_program.h"
#include "support/expect_rect.h"

using whole_program::ScratchInstall;

namespace {

const wchar_t kKey[] = L"Software\\Kelpmarrow\\Window";

class PlacementWholeProgram : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kKey); }

  // Starts Tovix.exe, waits for its first frame, returns its window rectangle
  // and leaves it running in `app`.
  RECT StartAndMeasure(whole_program::Process& app) {
    app = install_.Start({}, {});
    EXPECT_TRUE(app.WaitForLine("frame", 20000));
    HWND window = app.MainWindow(5000);
    RECT rect{};
    EXPECT_NE(window, nullptr);
    // The window shows once the frame is there.
    for (int i = 0; i < 200 && !IsWindowVisible(window); ++i) Sleep(10);
    EXPECT_TRUE(IsWindowVisible(window));
    GetWindowRect(window, &rect);
    return rect;
  }

  RECT RunOnce() {
    whole_program::Process app;
    RECT rect = StartAndMeasure(app);
    EXPECT_TRUE(app.Close());
    EXPECT_EQ(app.Wait(20000), std::optional<DWORD>(0));
    return rect;
  }

  ScratchInstall install_;
};

}  // namespace

TEST_F(PlacementWholeProgram, FirstRunIsCentredDefaultAndIsSavedOnClose) {
  ExpectRect(RunOnce(), 272, 24, 752, 744);
  auto record = ReadPlacementRecord(HKEY_CURRENT_USER, kKey);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(*record, (placement::Record{1, 272, 24, 480, 720}));
}

TEST_F(PlacementWholeProgram, SavedRecordIsRestoredAndSmallWidthBecomesMinimum) {
  WritePlacementRecord(HKEY_CURRENT_USER, kKey, {1, 100, 30, 400, 600});
  ExpectRect(RunOnce(), 100, 30, 500, 630);
  WritePlacementRecord(HKEY_CURRENT_USER, kKey, {1, 100, 30, 100, 600});
  ExpectRect(RunOnce(), 100, 30, 480, 630);
}

TEST_F(PlacementWholeProgram, InvalidRecordsGiveTheDefault) {
  const placement::Record invalid[] = {
      {2, 100, 30, 400, 600},
      {1, 100, 30, 0, 600},
      {1, 100, 30, 400, 40000},
  };
  for (const auto& record : invalid) {
    WritePlacementRecord(HKEY_CURRENT_USER, kKey, record);
    ExpectRect(RunOnce(), 272, 24, 752, 744);
  }
  // A value of the wrong type or size.
  WritePlacementRecord(HKEY_CURRENT_USER, kKey, {1, 100, 30, 400, 600});
  const wchar_t text[] = L"400";
  RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Width", REG_SZ, text, sizeof(text));
  ExpectRect(RunOnce(), 272, 24, 752, 744);
  const unsigned char two[2] = {1, 2};
  RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Height", REG_BINARY, two, sizeof(two));
  ExpectRect(RunOnce(), 272, 24, 752, 744);
}

TEST_F(PlacementWholeProgram, MovedWindowIsSavedButNotWhenMinimisedOrMaximised) {
  whole_program::Process app;
  StartAndMeasure(app);
  HWND window = app.MainWindow(5000);
  SetWindowPos(window, nullptr, 50, 40, 500, 650, SWP_NOZORDER | SWP_NOACTIVATE);
  ASSERT_TRUE(app.Close());
  ASSERT_EQ(app.Wait(20000), std::optional<DWORD>(0));
  auto saved = ReadPlacementRecord(HKEY_CURRENT_USER, kKey);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(*saved, (placement::Record{1, 50, 40, 500, 650}));

  for (int show : {SW_MINIMIZE, SW_MAXIMIZE}) {
    StartAndMeasure(app);
    window = app.MainWindow(5000);
    SetWindowPos(window, nullptr, 60, 70, 450, 600, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window, show);
    ASSERT_TRUE(app.Close());
    ASSERT_EQ(app.Wait(20000), std::optional<DWORD>(0));
    EXPECT_EQ(ReadPlacementRecord(HKEY_CURRENT_USER, kKey), saved) << "show " << show;
  }
}
