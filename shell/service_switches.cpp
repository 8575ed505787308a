// The service switches of Tovix.exe. Main thread.
#include "shell/service_switches.h"

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include "common/error_line.h"
#include "common/unique_resource.h"
#include "protocol/service_setup.h"

namespace {

using tovix::service_setup::Outcome;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr wchar_t kServiceProgram[] = L"TovixService.exe";
// Longer than TovixService.exe's own wait for the service to stop.
constexpr DWORD kChildWaitMs = 60000;

int Fail(const std::string& why) {
  WriteErrorLine(why);
  return kExitFailed;
}

// "<folder of Tovix.exe>\TovixService.exe"; empty when this program's path
// cannot be had.
std::wstring ServiceProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return path.substr(0, slash + 1) + kServiceProgram;
}

// TovixService.exe reports why through its exit code alone (it runs elevated
// and leaves nothing where a user could have put something); its codes map
// to the same fixed lines here.
int ReportChildExit(DWORD code) {
  if (code == 0) return kExitOk;
  const std::string_view known = tovix::service_setup::MessageOf(static_cast<Outcome>(code));
  if (!known.empty()) return Fail(std::string(known));
  return Fail("TovixService.exe failed with exit code " + std::to_string(code));
}

int RunElevated(const wchar_t* childSwitch) {
  const std::wstring program = ServiceProgramPath();
  if (program.empty() || GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return Fail("TovixService.exe is missing beside Tovix.exe");
  }
  // ShellExecuteExW may hand the start to a shell extension, which wants COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = childSwitch;
  info.nShow = SW_HIDE;
  const BOOL started = ShellExecuteExW(&info);
  const DWORD error = GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (!started || info.hProcess == nullptr) {
    if (error == ERROR_CANCELLED) {
      return Fail(std::string(tovix::service_setup::MessageOf(Outcome::NotAdministrator)));
    }
    return Fail("TovixService.exe could not be started: error " + std::to_string(error));
  }
  const tovix::UniqueHandle child(info.hProcess);
  if (WaitForSingleObject(child.get(), kChildWaitMs) != WAIT_OBJECT_0) {
    return Fail("TovixService.exe did not finish in time");
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child.get(), &code)) {
    return Fail("TovixService.exe could not be waited for: error " +
                std::to_string(GetLastError()));
  }
  return ReportChildExit(code);
}

}  // namespace

std::optional<int> RunServiceSwitch(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  const bool install = arguments[0] == kInstallServiceSwitch;
  if (!install && arguments[0] != kUninstallServiceSwitch) return std::nullopt;
  if (arguments.size() != 1) return Fail(arguments[0] + " takes no other argument");
  return RunElevated(install ? tovix::service_setup::kInstallSwitch
                             : tovix::service_setup::kUninstallSwitch);
}
