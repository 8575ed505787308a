#include "common/paths.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {
fs::path ExeFolder() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  return fs::path(module).parent_path();
}
}  // namespace

TEST(DataDir, IsLocalAppDataKelpmarrowAndExists) {
  wchar_t local[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local)));
  fs::path dir = dataDir();
  EXPECT_EQ(dir, fs::path(local) / L"Kelpmarrow");
  EXPECT_TRUE(fs::is_directory(dir));
}

TEST(DataDir, RecreatesAMissingFolder) {
  fs::path dir = dataDir();
  fs::path marker = dir / L"paths_test.marker";
  fs::remove(marker);
  std::error_code ec;
  fs::remove(dir, ec);  // only works when empty; fine either way
  EXPECT_TRUE(fs::is_directory(dataDir()));
}

TEST(ExecutableSiblingPath, PrefersBinFolder) {
  // A name of this test's own, so that no other test's files interfere.
  const std::wstring name = L"sibling-probe.txt";
  fs::path folder = ExeFolder();
  fs::path beside = folder / name;
  fs::path inBin = folder / L"bin" / name;
  fs::remove(beside);
  fs::remove(inBin);

  EXPECT_EQ(ExecutableSiblingPath(name), beside) << "neither exists: the folder itself";
  { std::FILE* f = _wfopen(beside.c_str(), L"w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  EXPECT_EQ(ExecutableSiblingPath(name), beside);
  fs::create_directories(inBin.parent_path());
  { std::FILE* f = _wfopen(inBin.c_str(), L"w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  EXPECT_EQ(ExecutableSiblingPath(name), inBin);

  fs::remove(beside);
  fs::remove(inBin);
}
