// Where DLLs are looked for once the search is narrowed, under Wine: copies
// of a probe DLL in the current directory, on PATH and beside the program.
// One test, in a program of its own: the narrowing cannot be undone.
#include "shell/dll_search.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

fs::path ExeFolder() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  return fs::path(module).parent_path();
}

bool Loads(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  if (module) FreeLibrary(module);
  return module != nullptr;
}

}  // namespace

TEST(DllSearch, OnlyTheApplicationAndSystemFoldersAreSearched) {
  const fs::path probe = ExeFolder() / L"tovix_probe.dll";
  ASSERT_TRUE(fs::exists(probe));
  ScratchFolder current;
  ScratchFolder onPath;
  fs::copy_file(probe, current.path() / L"tovix_probe_cwd.dll");
  fs::copy_file(probe, onPath.path() / L"tovix_probe_path.dll");
  fs::copy_file(probe, ExeFolder() / L"tovix_probe_app.dll", fs::copy_options::overwrite_existing);
  wchar_t savedDirectory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, savedDirectory);
  ASSERT_TRUE(SetCurrentDirectoryW(current.path().c_str()));
  std::wstring savedPath(32767, L'\0');
  savedPath.resize(GetEnvironmentVariableW(L"PATH", savedPath.data(), 32767));
  SetEnvironmentVariableW(L"PATH", (onPath.path().native() + L";" + savedPath).c_str());

  // The ordinary search finds both plants.
  EXPECT_TRUE(Loads(L"tovix_probe_cwd.dll"));
  EXPECT_TRUE(Loads(L"tovix_probe_path.dll"));

  NarrowDllSearch();
  EXPECT_FALSE(Loads(L"tovix_probe_cwd.dll"));
  EXPECT_FALSE(Loads(L"tovix_probe_path.dll"));

  // A delay-loaded DLL comes from the system folder only, even when one of
  // its name lies beside the program.
  DelayLoadInfo info{};
  info.cb = sizeof(info);
  info.szDll = "tovix_probe_app.dll";
  EXPECT_EQ(LoadDelayedFromSystemFolder(dliNotePreLoadLibrary, &info), nullptr);
  info.szDll = "crypt32.dll";
  EXPECT_EQ(LoadDelayedFromSystemFolder(dliStartProcessing, &info), nullptr);
  auto crypt32 = reinterpret_cast<HMODULE>(LoadDelayedFromSystemFolder(dliNotePreLoadLibrary, &info));
  ASSERT_NE(crypt32, nullptr);
  wchar_t loaded[MAX_PATH] = {};
  wchar_t system[MAX_PATH] = {};
  GetModuleFileNameW(crypt32, loaded, MAX_PATH);
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(CompareStringOrdinal(fs::path(loaded).parent_path().c_str(), -1, system, -1, TRUE),
            CSTR_EQUAL)
      << fs::path(loaded).string();
  FreeLibrary(crypt32);

  // The program's own DLLs still load from its folder.
  EXPECT_TRUE(Loads(L"tovix_probe_app.dll"));

  SetEnvironmentVariableW(L"PATH", savedPath.c_str());
  SetCurrentDirectoryW(savedDirectory);
  fs::remove(ExeFolder() / L"tovix_probe_app.dll");
}
