// Registering and removing the service through the service manager. Main
// thread.
#include "service/service_install.h"

#include <sddl.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>

#include "common/error_line.h"
#include "service/install_folder.h"

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
      outcome = arguments[0] == tovix::service_setup::kInstallSwitch
                    ? InstallService(OwnProgramPath())
                    : UninstallService(kUninstallStopWait);
    }
  } catch (const std::exception&) {
    outcome = Outcome::ServiceManagerRefused;
  }
  WriteErrorLine(tovix::service_setup::MessageOf(outcome));
  return static_cast<int>(outcome);
}
