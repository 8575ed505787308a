// The narrowed DLL search under Wine, with copies of a probe DLL in the
// current directory, on PATH and beside the program.
#include "shell/dll_search.h"

#include <gtest/gtest.h>

#include "support/scratch_folder.h"

namespace fs = std::filesystem;

static bool Loads(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  return module && FreeLibrary(module);
}

TEST(DllSearch, OnlyTheApplicationAndSystemFoldersAreSearched) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const fs::path app = fs::path(self).parent_path();
  ScratchFolder current, onPath;
  fs::copy_file(app / L"tovix_probe.dll", current.path() / L"probe_cwd.dll");
  fs::copy_file(app / L"tovix_probe.dll", onPath.path() / L"probe_path.dll");
  fs::remove(app / L"probe_app.dll");
  fs::copy_file(app / L"tovix_probe.dll", app / L"probe_app.dll");
  SetCurrentDirectoryW(current.path().c_str());
  SetEnvironmentVariableW(L"PATH", onPath.path().c_str());
  ASSERT_TRUE(Loads(L"probe_cwd.dll") && Loads(L"probe_path.dll")) << "found before";

  NarrowDllSearch();
  EXPECT_FALSE(Loads(L"probe_cwd.dll") || Loads(L"probe_path.dll"));
  DelayLoadInfo info{};  // a delay-loaded DLL comes from the system folder only
  info.szDll = "probe_app.dll";
  EXPECT_EQ(LoadDelayedFromSystemFolder(dliNotePreLoadLibrary, &info), nullptr);
  EXPECT_TRUE(Loads(L"probe_app.dll"));
  info.szDll = "crypt32.dll";
  EXPECT_NE(LoadDelayedFromSystemFolder(dliNotePreLoadLibrary, &info), nullptr);
  SetCurrentDirectoryW(app.c_str());
}
