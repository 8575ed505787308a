// Registering and removing the service through the service manager, and
// removing what the service kept under ProgramData. Main thread.
#include "service/service_install.h"

#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <system_error>
#include <thread>

#include "common/error_line.h"
#include "service/folders/install_folder.h"
#include "service/folders/vpn_folder.h"

#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif

namespace fs = std::filesystem;
using tovix::service_setup::Outcome;

namespace {

using tovix::UniqueServiceHandle;

// Full control for SYSTEM and Administrators; query configuration (CC),
// query status (LC) and start (RP) for interactive users.
constexpr wchar_t kServiceSddl[] =
    L"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;CCLCRP;;;IU)";

constexpr auto kUninstallStopWait = std::chrono::seconds(20);
constexpr auto kPoll = std::chrono::milliseconds(50);

Outcome ManagerFailure(DWORD error) {
  return error == ERROR_ACCESS_DENIED ? Outcome::NotAdministrator : Outcome::ServiceManagerRefused;
}

std::optional<SERVICE_STATUS_PROCESS> StatusOf(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return std::nullopt;
  }
  return status;
}

// Asks the service to stop until it reports stopped (a service still
// starting cannot take the request yet), then waits for its process to end.
bool StopAndWait(SC_HANDLE service, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  tovix::UniqueHandle process;
  for (;;) {
    const std::optional<SERVICE_STATUS_PROCESS> status = StatusOf(service);
    if (!status) return false;
    if (status->dwProcessId != 0 && !process) {
      process.reset(OpenProcess(SYNCHRONIZE, FALSE, status->dwProcessId));
    }
    if (status->dwCurrentState == SERVICE_STOPPED) break;
    if (status->dwCurrentState != SERVICE_STOP_PENDING) {
      SERVICE_STATUS ignored{};
      ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
  if (!process) return true;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return WaitForSingleObject(process.get(), static_cast<DWORD>(std::max<long long>(
                                                left.count(), 0))) == WAIT_OBJECT_0;
}

constexpr DWORD kRemoveAccess = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// "%ProgramData%\Kelpmarrow" goes with the service when it is the one the
// privileged program made: a plain folder that only SYSTEM and Administrators
// may change (nobody else can then have put anything in it). A link, a file or
// a folder a user could change is not ours and stays as it is.
// Best effort: the service is gone already, and that is what the caller asked.
void RemoveCompanyFolder() noexcept try {
  const fs::path company = CommonAppDataFolder() / L"Kelpmarrow";
  const tovix::UniqueFileHandle folder(CreateFileW(
      company.c_str(), kRemoveAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return;
  const FolderInspection seen = InspectFolder(folder.get());
  if (!(seen.attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (seen.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !GrantsOnlyAdmins(seen.security)) {
    return;
  }
  RemoveFolderThroughHandle(folder.get());
} catch (const std::exception&) {
}

}  // namespace

tovix::UniqueLocalMemory MakeServiceDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "build the service's security descriptor");
  }
  return tovix::UniqueLocalMemory(descriptor);
}

Outcome InstallService(const fs::path& program) {
  namespace setup = tovix::service_setup;
  // The rule first: a refused install changes nothing.
  if (!InstallFolderIsAdminOnly(program.parent_path())) return Outcome::FolderNotAdminOnly;
  // The company folder is made admin-only here, by an administrator, before
  // any user can use the service. One that a user made first is moved aside;
  // one that cannot be (held open without delete sharing, say) fails the
  // install, rather than every later start of a core.
  try {
    EnsureVpnFolderIn(CommonAppDataFolder());
  } catch (const std::system_error&) {
    return Outcome::CompanyFolderInTheWay;
  }
  const tovix::UniqueLocalMemory descriptor = MakeServiceDescriptor();
  UniqueServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return ManagerFailure(GetLastError());

  // Quoted, so that a path with spaces is never read as a shorter program
  // followed by arguments.
  const std::wstring binaryPath = L"\"" + program.native() + L"\"";
  constexpr DWORD kAccess = SERVICE_CHANGE_CONFIG | WRITE_DAC | READ_CONTROL;
  UniqueServiceHandle service(
      CreateServiceW(manager.get(), setup::kServiceName, setup::kDisplayName, kAccess,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_EXISTS) return ManagerFailure(error);
    // Installed before, possibly from elsewhere or by someone else: made
    // exactly what a fresh install gives.
    service.reset(OpenServiceW(manager.get(), setup::kServiceName, kAccess));
    if (!service) return ManagerFailure(GetLastError());
    if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, binaryPath.c_str(), L"", nullptr, L"",
                              L"LocalSystem", L"", setup::kDisplayName)) {
      return ManagerFailure(GetLastError());
    }
  }
  if (!SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor.get())) {
    return ManagerFailure(GetLastError());
  }
  return Outcome::Done;
}

Outcome UninstallService(std::chrono::milliseconds stopWait) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return ManagerFailure(GetLastError());
  UniqueServiceHandle service(OpenServiceW(manager.get(), tovix::service_setup::kServiceName,
                                           SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = GetLastError();
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? Outcome::Done : ManagerFailure(error);
  }
  if (!StopAndWait(service.get(), stopWait)) return Outcome::StillRunning;
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    return ManagerFailure(GetLastError());
  }
  return Outcome::Done;
}

bool IsServiceSetupSwitch(const std::vector<std::wstring>& arguments) {
  return arguments.size() == 1 && (arguments[0] == tovix::service_setup::kInstallSwitch ||
                                   arguments[0] == tovix::service_setup::kUninstallSwitch);
}

int RunServiceSetup(const std::vector<std::wstring>& arguments) {
  Outcome outcome = Outcome::BadArguments;
  try {
    if (IsServiceSetupSwitch(arguments)) {
      if (arguments[0] == tovix::service_setup::kInstallSwitch) {
        outcome = InstallService(OwnProgramPath());
      } else {
        outcome = UninstallService(kUninstallStopWait);
        // Once the service is gone: its core worked there.
        if (outcome == Outcome::Done) RemoveCompanyFolder();
      }
    }
  } catch (const std::exception&) {
    outcome = Outcome::ServiceManagerRefused;
  }
  WriteErrorLine(tovix::service_setup::MessageOf(outcome));
  return static_cast<int>(outcome);
}
