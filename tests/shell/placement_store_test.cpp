// The placement record in a real (Wine) registry, under a scratch key.
#include <gtest/gtest.h>

#include <string>

#include "shell/placement_store.h"

namespace {

class PlacementStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = L"Software\\TovixShellTest\\Placement" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, type, data, size), ERROR_SUCCESS);
  }

  std::wstring key_;
};

}  // namespace

TEST_F(PlacementStoreTest, WrittenRecordReadsBackWithNegativeCoordinates) {
  const placement::Record record{1, static_cast<std::uint32_t>(-1700), static_cast<std::uint32_t>(-3), 480, 720};
  WritePlacementRecord(HKEY_CURRENT_USER, key_.c_str(), record);  // creates the key
  std::optional<placement::Record> read = ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str());
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, record);
  EXPECT_EQ(static_cast<std::int32_t>(read->left), -1700);
}

TEST_F(PlacementStoreTest, MissingKeyOrValueGivesNothing) {
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());
  WritePlacementRecord(HKEY_CURRENT_USER, key_.c_str(), {1, 1, 2, 400, 600});
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), L"Height");
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());
}

TEST_F(PlacementStoreTest, ValueOfWrongTypeOrSizeGivesNothing) {
  WritePlacementRecord(HKEY_CURRENT_USER, key_.c_str(), {1, 1, 2, 400, 600});
  const wchar_t text[] = L"400";
  SetRaw(L"Width", REG_SZ, text, sizeof(text));
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());

  const unsigned char three[3] = {1, 2, 3};
  SetRaw(L"Width", REG_BINARY, three, sizeof(three));
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());

  const unsigned long long wide = 400;
  SetRaw(L"Width", REG_QWORD, &wide, sizeof(wide));
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());

  // A REG_DWORD that is too short is refused too.
  SetRaw(L"Width", REG_DWORD, three, 2);
  EXPECT_FALSE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());

  const DWORD good = 400;
  SetRaw(L"Width", REG_DWORD, &good, sizeof(good));
  EXPECT_TRUE(ReadPlacementRecord(HKEY_CURRENT_USER, key_.c_str()).has_value());
}
