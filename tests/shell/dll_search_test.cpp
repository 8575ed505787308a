// The narrowed DLL search under Wine, with copies of a probe DLL in the
// current directory, on PATH and beside the program: in this process, and in
// Tovix.exe and TovixService.exe themselves.
#include "shell/dll_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

bool Loads(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  return module && FreeLibrary(module);
}

fs::path BinaryFolder() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path();
}

// A copy of `from` in which the one mention of the DLL `name` (its delay
// import) reads `replacement`, of the same length.
void CopyWithDllRenamed(const fs::path& from, const fs::path& to, const std::string& name,
                        const std::string& replacement) {
  ASSERT_EQ(name.size(), replacement.size());
  std::ifstream in(from, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  const auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end(), same);
  ASSERT_NE(at, bytes.end()) << name << " is not named in " << from;
  ASSERT_EQ(std::search(at + 1, bytes.end(), name.begin(), name.end(), same), bytes.end())
      << name << " is named twice in " << from;
  std::copy(replacement.begin(), replacement.end(), at);
  std::ofstream(to, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(DllSearch, OnlyTheApplicationAndSystemFoldersAreSearched) {
  const fs::path app = BinaryFolder();
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

// The programs' own entry points. Wine keeps every system DLL in its system
// folder, which every search reaches before the current folder and PATH, so
// a planted DLL is shown with the name of one the system folder lacks: in a
// copy of the program, a DLL it loads late by name (a delay import) is
// renamed. "Tovix.exe --km-cleanup" reaches both loads: Tovix.exe's
// shell32.dll for the elevation prompt, and the privileged program's
// setupapi.dll for the adapter sweep it then runs. The load fails, and so
// does the clean-up; the probe is never loaded.
TEST(DllSearch, NeitherProgramLoadsAPlantedDllFromTheCurrentFolderOrPath) {
  const struct {
    const wchar_t* program;
    std::string dll;
    std::string probe;
  } cases[] = {{L"Tovix.exe", "shell32.dll", "tvxprb1.dll"},
               {L"TovixService.exe", "setupapi.dll", "tvxprobe.dll"}};
  const fs::path bin = BinaryFolder();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.probe);
    ScratchFolder app, current, onPath;
    for (const wchar_t* file :
         {L"Tovix.exe", L"TovixService.exe", L"flutter_windows.dll", L"app_links_plugin.dll",
          L"audioplayers_windows_plugin.dll", L"connectivity_plus_plugin.dll",
          L"file_selector_windows_plugin.dll", L"url_launcher_windows_plugin.dll"}) {
      if (file == std::wstring(c.program)) {
        CopyWithDllRenamed(bin / file, app.path() / file, c.dll, c.probe);
      } else {
        fs::copy_file(bin / file, app.path() / file);
      }
    }
    const fs::path probe(std::wstring(c.probe.begin(), c.probe.end()));
    fs::copy_file(bin / L"tovix_probe.dll", current.path() / probe);
    fs::copy_file(bin / L"tovix_probe.dll", onPath.path() / probe);
    const fs::path marker = current.path() / L"probe-loaded";

    // Inherited by Tovix.exe, and from it by the privileged program.
    wchar_t path[32768] = {};
    GetEnvironmentVariableW(L"PATH", path, 32768);
    const std::wstring savedPath = path;
    SetEnvironmentVariableW(L"PATH", (onPath.path().native() + L";" + savedPath).c_str());
    SetEnvironmentVariableW(L"TOVIX_PROBE_MARKER", marker.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    std::wstring commandLine = L"\"" + (app.path() / L"Tovix.exe").native() + L"\" --km-cleanup";
    const BOOL ran = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                    nullptr, current.path().c_str(), &startup, &started);
    SetEnvironmentVariableW(L"PATH", savedPath.c_str());
    SetEnvironmentVariableW(L"TOVIX_PROBE_MARKER", nullptr);
    ASSERT_TRUE(ran) << GetLastError();
    CloseHandle(started.hThread);
    const tovix::UniqueHandle process(started.hProcess);
    ASSERT_EQ(WaitForSingleObject(process.get(), 40000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_NE(exitCode, 0u) << "the clean-up went through without the renamed DLL";
    EXPECT_FALSE(fs::exists(marker)) << "the probe was loaded";
  }
}
