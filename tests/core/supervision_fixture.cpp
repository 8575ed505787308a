// Shared ground for the tests that start the real stand-in core under Wine.
#include <gtest/gtest.h>

#include "supervision_fixture.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/paths.h"
#include "common/text.h"
#include "core/core_launch.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "service/channel/service_server.h"
#include "support/handle_count.h"

namespace supervision_test {

fs::path ExeFolder() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  return fs::path(module).parent_path();
}
fs::path BinCore() { return ExeFolder() / L"bin" / L"sing-box.exe"; }
fs::path BesideCore() { return ExeFolder() / L"sing-box.exe"; }
fs::path Wintun() { return ExeFolder() / L"bin" / L"wintun.dll"; }
fs::path PristineCore() { return ExeFolder() / L"standin" / L"sing-box.exe"; }
fs::path StandInControlsFile() { return ExeFolder() / L"bin" / L"standin-core.txt"; }

fs::path VpnFolder() {
  wchar_t* common = nullptr;
  fs::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &common))) {
    // The folder of this test's user: the client and the core's owner.
    folder = fs::path(common) / L"Kelpmarrow" / L"core" /
             ReadClientIdentity(GetCurrentProcess(), GetCurrentProcessId())->user;
  }
  CoTaskMemFree(common);
  return folder;
}

void SetStandInControls(const std::string& controls) {
  // Beside both cores a test may run.
  for (const fs::path& file : {StandInControlsFile(), ExeFolder() / L"standin-core.txt"}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << controls << "\n";
  }
}

std::string ReadWholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<LogLine> ReadLogLines(const fs::path& log) {
  std::vector<LogLine> lines;
  std::istringstream in(ReadWholeFile(log));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Sessions opened within one second share a file: the last one counts.
    if (line.rfind("=== Kelp Marrow session start ", 0) == 0) lines.clear();
    // "[YYYY-MM-DD hh:mm:ss.fff] " is 26 bytes; then the tag, a blank, the text.
    if (line.size() < 27 || line[0] != '[' || line[26] != '[') continue;
    const std::size_t tagEnd = line.find(']', 26);
    if (tagEnd == std::string::npos) continue;
    std::string tag = line.substr(26, tagEnd - 26 + 1);
    std::string text = tagEnd + 2 <= line.size() ? line.substr(tagEnd + 2) : std::string();
    lines.emplace_back(std::move(tag), std::move(text));
  }
  return lines;
}

std::vector<Event> ReadLoggedEvents(const fs::path& log) {
  std::vector<Event> events;
  for (const auto& [tag, text] : ReadLogLines(log)) {
    if (tag.rfind("[EVENT:", 0) == 0) events.emplace_back(tag.substr(7, tag.size() - 8), text);
  }
  return events;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(5);
  }
}

bool WaitForState(const std::string& state, DWORD timeoutMs) {
  return WaitFor([&] { return LastVpnState() == state; }, timeoutMs);
}

std::vector<DWORD> ProcessesOf(DWORD parent, const wchar_t* image) {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == parent &&
        CompareStringOrdinal(entry.szExeFile, -1, image, -1, TRUE) == CSTR_EQUAL) {
      found.push_back(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return found;
}

DWORD BrokerOf(DWORD client) {
  // A test that made its connection anew leaves the earlier program idle
  // until this process ends; the core is the newest one's.
  const std::vector<DWORD> brokers = ProcessesOf(client, L"TovixService.exe");
  DWORD newest = 0;
  ULONGLONG newestStart = 0;
  for (const DWORD pid : brokers) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    FILETIME created{}, exited{}, kernel{}, user{};
    if (process && GetProcessTimes(process, &created, &exited, &kernel, &user)) {
      const ULONGLONG start = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
      if (newest == 0 || start >= newestStart) {
        newest = pid;
        newestStart = start;
      }
    }
    if (process) CloseHandle(process);
  }
  return newest;
}

std::vector<DWORD> CoreProcessesOf(DWORD parent) {
  if (parent == 0) parent = BrokerOf();
  if (parent == 0) return {};
  return ProcessesOf(parent, L"sing-box.exe");
}

DWORD ThreadCount() {
  DWORD count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

DWORD HandleCount() { return OpenHandleCount(); }

void NextSecond() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  Sleep(1000 - now.wMilliseconds + 20);
}

std::string ExpectedArgvLine(const fs::path& core) {
  const std::string folder = ToUtf8(VpnFolder().native());
  return "argv: " + ToUtf8(core.native()) + "|run|-c|stdin|-D|" + folder + " cwd=" + folder;
}

std::string ExpectedConfigEcho(const std::string& config) {
  unsigned long long hash = 14695981039346656037ull;
  for (unsigned char byte : config) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  char line[96];
  std::snprintf(line, sizeof(line), "config bytes=%llu fnv1a=%016llx",
                static_cast<unsigned long long>(config.size()), hash);
  return line;
}

void CoreSupervisionTest::SetUp() {
  StopCore();
  // The layout the privileged program expects; an earlier test may have
  // changed it.
  fs::create_directories(BinCore().parent_path());
  if (!fs::exists(BinCore())) fs::copy_file(PristineCore(), BinCore());
  SetStandInControls("");
  fs::remove(BesideCore());
  if (!fs::exists(Wintun())) std::ofstream(Wintun()) << "stand-in driver";
  data_ = dataDir();
  for (const wchar_t* name :
       {L"core-diagnostics.on", L"config.json", L"core_failure.dpapi", L"core_startup.dpapi"}) {
    fs::remove(data_ / name);
  }
}

void CoreSupervisionTest::TearDown() {
  StopCore();
  fs::remove(StandInControlsFile());
  fs::remove(ExeFolder() / L"standin-core.txt");
  fs::remove(data_ / L"core-diagnostics.on");
}

void CoreSupervisionTest::StartOk(const std::string& controls, const std::string& config) {
  SetStandInControls(controls);
  std::string error;
  ASSERT_TRUE(StartCore(config, error)) << error;
  EXPECT_TRUE(error.empty()) << error;
}

}  // namespace supervision_test
