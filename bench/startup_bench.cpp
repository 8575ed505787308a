// Start-up benchmark: time from CreateProcessW until the main window is
// visible, for Tovix.exe (which shows its window after the engine's first
// frame) and, in the same run, for a bare program that creates one window
// and shows it at once. The difference is the host's own start-up work. A
// third program, the bare one importing the embedder and plugin libraries,
// shows how much of that difference is only the loader mapping them.
// Run by hand: <build>/tools/wine-run <build>/bin/startup_bench.exe [runs]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path BinaryFolder() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
}

struct Search {
  DWORD processId;
  const wchar_t* title;
  HWND found;
};

HWND VisibleWindowOf(DWORD processId, const wchar_t* title) {
  Search search{processId, title, nullptr};
  EnumWindows(
      [](HWND window, LPARAM lparam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lparam);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t text[32] = {};
        GetWindowTextW(window, text, 32);
        if (owner == s->processId && wcscmp(text, s->title) == 0 && IsWindowVisible(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Milliseconds from process creation to a visible window; -1 on failure.
double TimeToWindow(const fs::path& exe, const wchar_t* title) {
  std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  LARGE_INTEGER frequency, begin, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      exe.parent_path().c_str(), &startup, &info)) {
    return -1;
  }
  double elapsed = -1;
  HWND window = nullptr;
  while (true) {
    window = VisibleWindowOf(info.dwProcessId, title);
    QueryPerformanceCounter(&now);
    double ms = static_cast<double>(now.QuadPart - begin.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    if (window != nullptr) {
      elapsed = ms;
      break;
    }
    // Waiting a millisecond between looks, not spinning: on a two-core
    // machine a spinning measurer takes a core from the program it measures.
    // (Wine delivers no out-of-context WinEvents to wait on instead.)
    if (ms > 20000 || WaitForSingleObject(info.hProcess, 1) == WAIT_OBJECT_0) break;
  }
  if (window != nullptr) PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(info.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return elapsed;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 25;
  const fs::path bin = BinaryFolder();
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const fs::path folder = fs::path(temp) / (L"tovix-startup-" + std::to_wstring(GetCurrentProcessId()));
  fs::remove_all(folder);
  fs::create_directories(folder / L"data" / L"flutter_assets");
  for (const wchar_t* name : {L"Tovix.exe", L"flutter_windows.dll", L"app_links_plugin.dll",
                              L"audioplayers_windows_plugin.dll", L"connectivity_plus_plugin.dll",
                              L"file_selector_windows_plugin.dll", L"url_launcher_windows_plugin.dll",
                              L"startup_bare_window.exe", L"startup_bare_embedder.exe"}) {
    fs::copy_file(bin / name, folder / name);
  }
  // Keeps Wine's desktop process alive for the whole run, so that neither
  // program pays for starting it.
  HWND keeper = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  SetEnvironmentVariableW(L"TOVIX_UI_SCRIPT", nullptr);
  SetEnvironmentVariableW(L"TOVIX_UI_TRANSCRIPT", nullptr);

  struct Program {
    const wchar_t* file;
    const wchar_t* title;
    const char* label;
    std::vector<double> times;
  };
  Program programs[] = {
      {L"startup_bare_window.exe", L"TovixBare", "bare window program (baseline)", {}},
      {L"startup_bare_embedder.exe", L"TovixBare", "bare window + embedder and plugin DLLs", {}},
      {L"Tovix.exe", L"Tovix", "Tovix.exe to first frame", {}},
  };
  // Warm all three (file cache, Wine's DLL loading), then interleave.
  for (Program& program : programs) TimeToWindow(folder / program.file, program.title);
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    for (Program& program : programs) {
      double ms = TimeToWindow(folder / program.file, program.title);
      if (ms < 0) {
        ++failures;
      } else {
        program.times.push_back(ms);
      }
    }
  }
  if (failures > 0) std::printf("warning: %d runs showed no window and are left out\n", failures);
  std::printf("start-up to visible window, %d runs each, interleaved (median / min ms)\n", runs);
  for (const Program& program : programs) {
    if (program.times.empty()) continue;
    std::printf("  %-40s %8.1f / %8.1f\n", program.label, Median(program.times),
                *std::min_element(program.times.begin(), program.times.end()));
  }
  const double bare = Median(programs[0].times);
  const double embedder = Median(programs[1].times);
  const double host = Median(programs[2].times);
  std::printf("  Tovix.exe beyond the bare program:       %8.1f ms (target <= 40)\n", host - bare);
  std::printf("    of which the embedder's and plugins' DLLs: %5.1f ms\n", embedder - bare);
  if (keeper != nullptr) DestroyWindow(keeper);
  std::error_code error;
  fs::remove_all(folder, error);
  return 0;
}
