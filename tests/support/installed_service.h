// The service as the tests install it. Wine keeps no real descriptor for a
// file (it makes one up, owned by the Wine user), so the shipped program
// refuses every folder; the tests install the test build of the program
// (TovixServiceUnderTest.exe, beside the test) as TovixService.exe, which
// reads every folder as admin-only unless the folder holds the file
// "opened-up.test": then its descriptor lets everyone change it.
// Test thread.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/folders/admin_only_security.h"
#include "service/service_install.h"
#include "service/folders/vpn_folder.h"

inline constexpr wchar_t kOpenedUpMarker[] = L"opened-up.test";

inline FolderInspection FolderAsTestsSeeIt(HANDLE handle) {
  FolderInspection seen = InspectFolderHandle(handle);
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetFinalPathNameByHandleW(handle, path, MAX_PATH, FILE_NAME_NORMALIZED);
  std::error_code ignored;
  if (length > 0 && length < MAX_PATH &&
      std::filesystem::exists(std::filesystem::path(path) / kOpenedUpMarker, ignored)) {
    PSECURITY_DESCRIPTOR everyoneWrites = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;FA;;;WD)", SDDL_REVISION_1,
                                                         &everyoneWrites, nullptr);
    const tovix::UniqueLocalMemory owned(everyoneWrites);
    seen.security = FactsOfDescriptor(everyoneWrites);
  } else {
    seen.security = FactsOfDescriptor(MakeAdminOnlyDescriptor().get());
  }
  return seen;
}

// Installs the test build from `folder` for the test's scope; removes it
// (stopping it first) at the end.
class InstalledService {
 public:
  explicit InstalledService(const std::filesystem::path& folder) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::filesystem::path program = folder / L"TovixService.exe";
    std::filesystem::copy_file(
        std::filesystem::path(self).parent_path() / L"TovixServiceUnderTest.exe", program,
        std::filesystem::copy_options::overwrite_existing);
    SetFolderSecurityHooks(FolderAsTestsSeeIt, nullptr);
    UninstallService(kStopWait);
    installed_ = InstallService(program) == tovix::service_setup::Outcome::Done;
  }
  ~InstalledService() { UninstallService(kStopWait); }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  bool installed() const { return installed_; }

  // Wine's service manager does not notice a service process that was
  // killed: it reports it running until the next start. Started again, the
  // service can be stopped and removed as after any other end.
  static void AfterAKill() { Start(); }

  // Starts the service, as any interactive user may.
  static void Start() {
    tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    tovix::UniqueServiceHandle service(
        OpenServiceW(manager.get(), tovix::service_setup::kServiceName, SERVICE_START));
    StartServiceW(service.get(), 0, nullptr);
  }

  // The process of the running service; 0 when it does not run.
  static DWORD Pid() {
    tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    tovix::UniqueServiceHandle service(
        OpenServiceW(manager.get(), tovix::service_setup::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &size) ||
        status.dwCurrentState != SERVICE_RUNNING) {
      return 0;
    }
    return status.dwProcessId;
  }

 private:
  static constexpr std::chrono::seconds kStopWait{10};
  bool installed_ = false;
};
