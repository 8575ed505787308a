// ProtectedFile against real DPAPI and real files under Wine: round trips,
// the file layout, every limit and message, and the atomic replace.
#include "protected/protected_file.h"

#include <windows.h>
#include <wincrypt.h>
#include <dpapi.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "common/unique_resource.h"

namespace fs = std::filesystem;

namespace {

template <typename F>
std::string ErrorOf(F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

std::string ReadRaw(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteRaw(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class ProtectedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = fs::path(temp) / (L"tovix-protected-" + std::to_wstring(GetCurrentProcessId())) /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    target_ = dir_ / L"settings.dpapi";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_.parent_path(), ec);
  }
  // Files beside the target whose names hold ".pending-".
  int PendingFiles() const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().native().find(L".pending-") != std::wstring::npos) ++count;
    }
    return count;
  }
  fs::path PendingPath() const {
    return target_.native() + L".pending-" + std::to_wstring(GetCurrentProcessId());
  }

  fs::path dir_;
  fs::path target_;
};

TEST_F(ProtectedFileTest, RoundTripsAnyBytesAndEmptyData) {
  const std::string binary("a\0b\xff\r\n\x1a z\xC3\xA9", 11);
  ProtectedFile::Write(target_, binary);
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>(binary));
  EXPECT_EQ(PendingFiles(), 0);

  ProtectedFile::Write(target_, "");
  std::optional<std::string> empty = ProtectedFile::Read(target_);
  ASSERT_TRUE(empty.has_value()) << "an empty document is present, not absent";
  EXPECT_EQ(*empty, "");
  EXPECT_EQ(PendingFiles(), 0);
}

TEST_F(ProtectedFileTest, FileIsTheBareBlobWithTheDescription) {
  ProtectedFile::Write(target_, "payload");
  std::string raw = ReadRaw(target_);
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw.find("payload"), std::string::npos) << "stored in the clear";

  DATA_BLOB in{static_cast<DWORD>(raw.size()), reinterpret_cast<BYTE*>(raw.data())};
  DATA_BLOB out{};
  LPWSTR description = nullptr;
  ASSERT_TRUE(CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr,
                                 CRYPTPROTECT_UI_FORBIDDEN, &out))
      << GetLastError();
  tovix::UniqueLocalMemory freeOut(out.pbData), freeDescription(description);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.pbData), out.cbData), "payload");
  EXPECT_STREQ(description, L"Kelpmarrow settings");
}

TEST_F(ProtectedFileTest, MissingFileReadsAsNoValueAndCreatesNothing) {
  fs::path missing = dir_ / L"not-yet" / L"settings.dpapi";
  EXPECT_EQ(ProtectedFile::Read(missing), std::nullopt);
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

TEST_F(ProtectedFileTest, WriteCreatesMissingFolders) {
  fs::path deep = dir_ / L"a" / L"b" / L"settings.dpapi";
  ProtectedFile::Write(deep, "deep");
  EXPECT_EQ(ProtectedFile::Read(deep), std::optional<std::string>("deep"));
}

TEST_F(ProtectedFileTest, FolderThatCannotBeCreatedRaisesCreateDirectories) {
  WriteRaw(dir_ / L"plain-file", "x");
  fs::path blocked = dir_ / L"plain-file" / L"sub" / L"settings.dpapi";
  try {
    ProtectedFile::Write(blocked, "data");
    FAIL() << "no error";
  } catch (const fs::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("create_directories"), std::string::npos) << e.what();
    EXPECT_EQ(e.path1(), blocked.parent_path());
  }
}

TEST_F(ProtectedFileTest, WriteLimitIsFourMebibytes) {
  ProtectedFile::Write(target_, "earlier");
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Write(target_, std::string(4194305, 'x')); }),
            "Settings too large");
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>("earlier"));
  EXPECT_EQ(PendingFiles(), 0);

  const std::string largest(4194304, '\x7f');
  ProtectedFile::Write(target_, largest);
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>(largest));
}

TEST_F(ProtectedFileTest, ReadRefusesEmptyAndOversizedFiles) {
  WriteRaw(target_, "");
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Read(target_); }), "Invalid protected settings");

  WriteRaw(target_, std::string(8388609, 'g'));
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Read(target_); }), "Invalid protected settings");

  // The largest size is read whole and handed to DPAPI, which refuses it.
  WriteRaw(target_, std::string(8388608, 'g'));
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Read(target_); }), "Could not unlock protected settings");
  EXPECT_EQ(fs::file_size(target_), 8388608u) << "a bad file is never repaired or deleted";
}

TEST_F(ProtectedFileTest, ForeignContentCannotBeUnlocked) {
  for (const std::string& garbage :
       {std::string("not a blob"), std::string(1, '\0'), std::string(300, '\x01')}) {
    WriteRaw(target_, garbage);
    EXPECT_EQ(ErrorOf([&] { ProtectedFile::Read(target_); }), "Could not unlock protected settings")
        << garbage.size();
  }
  // A blob cut short.
  ProtectedFile::Write(target_, "soon truncated");
  std::string raw = ReadRaw(target_);
  WriteRaw(target_, raw.substr(0, raw.size() / 2));
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Read(target_); }), "Could not unlock protected settings");
}

TEST_F(ProtectedFileTest, FolderUnderTheTargetNameFailsOnSize) {
  fs::create_directories(target_);
  try {
    ProtectedFile::Read(target_);
    FAIL() << "no error";
  } catch (const fs::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("file_size"), std::string::npos) << e.what();
  }
}

TEST_F(ProtectedFileTest, FailedRenameKeepsOldContentAndRemovesTemporary) {
  ProtectedFile::Write(target_, "old content");
  {
    // A reader that does not share delete: the replace cannot happen.
    tovix::UniqueFileHandle holder(CreateFileW(target_.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder) << GetLastError();
    EXPECT_EQ(ErrorOf([&] { ProtectedFile::Write(target_, "new content"); }),
              "Could not commit protected settings");
    EXPECT_EQ(PendingFiles(), 0);
  }
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>("old content"));
}

TEST_F(ProtectedFileTest, TemporaryThatCannotBeCreatedLeavesTheTarget) {
  ProtectedFile::Write(target_, "kept");
  fs::create_directories(PendingPath());  // a folder in the temporary file's place
  EXPECT_EQ(ErrorOf([&] { ProtectedFile::Write(target_, "lost"); }),
            "Could not save protected settings");
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>("kept"));
}

TEST_F(ProtectedFileTest, LeftoverTemporaryIsOverwritten) {
  WriteRaw(PendingPath(), std::string(10000, 'z'));
  ProtectedFile::Write(target_, "fresh");
  EXPECT_FALSE(fs::exists(PendingPath()));
  EXPECT_EQ(ProtectedFile::Read(target_), std::optional<std::string>("fresh"));
}

}  // namespace
