// How Tovix.exe reaches the privileged program.
#include "core/privileged_start.h"

#include <bcrypt.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/text.h"
#include "protocol/broker_protocol.h"
#include "protocol/pipe_owner.h"
#include "protocol/service_setup.h"

namespace {

constexpr ULONGLONG kConnectWaitMs = 10000;

std::wstring RandomToken() {
  unsigned char bytes[16] = {};
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return {};
  }
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

// Opens the pipe `name` once it exists, and checks that its server is the
// process `server` before anything is sent: a name another process made
// first gets nothing. `serverGone` says when to stop waiting. The error is
// the "start_failed" message.
bool OpenPipe(const std::wstring& name, DWORD server, const std::function<bool()>& serverGone,
              tovix::UniqueFileHandle& opened, std::string& error) {
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  for (;;) {
    // Identification only: a server cannot act as this user.
    opened.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr));
    if (opened) break;
    const DWORD openError = GetLastError();
    if ((openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PIPE_BUSY) || serverGone() ||
        GetTickCount64() >= deadline) {
      error = "VPN service could not start: err=" + std::to_string(openError);
      return false;
    }
    if (openError == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 100);
    } else {
      Sleep(5);
    }
  }
  ULONG serverSeen = 0;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!GetNamedPipeServerProcessId(opened.get(), &serverSeen) || serverSeen != server ||
      serverGone() || !SetNamedPipeHandleState(opened.get(), &mode, nullptr, nullptr)) {
    opened.reset();
    error = kServiceUnverifiedMessage;
    return false;
  }
  return true;
}

// The service's state as the service manager reports it; nothing when it
// cannot be asked.
std::optional<SERVICE_STATUS_PROCESS> ServiceState(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &size)) {
    return std::nullopt;
  }
  return status;
}

// Whether the installed service runs `program` (the one beside this one),
// and no other: a service of our name that runs something else is not ours.
bool RunsOurProgram(SC_HANDLE service, const std::wstring& program) {
  DWORD size = 0;
  QueryServiceConfigW(service, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<std::uint8_t> buffer(size);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, size, &size) || config->lpBinaryPathName == nullptr) {
    return false;
  }
  return _wcsicmp(config->lpBinaryPathName, (L"\"" + program + L"\"").c_str()) == 0;
}

// The "start_failed" message of a program that could not be started.
std::string StartFailure(DWORD error, const std::wstring& program) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return "TovixService.exe not bundled at " + ToUtf8(program);
  }
  // The service ends so when another process holds its pipe's name.
  if (error == ERROR_PIPE_BUSY) return kServiceUnverifiedMessage;
  return "VPN service could not start: err=" + std::to_string(error);
}

// Starts the service unless it runs, and waits until it does; the error is
// the "start_failed" message.
std::optional<SERVICE_STATUS_PROCESS> RunService(SC_HANDLE service, const std::wstring& program,
                                                 std::string& error) {
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  bool started = false;
  for (;;) {
    const std::optional<SERVICE_STATUS_PROCESS> status = ServiceState(service);
    if (!status) break;
    if (status->dwCurrentState == SERVICE_RUNNING && status->dwProcessId != 0) return status;
    if (status->dwCurrentState == SERVICE_STOPPED) {
      if (started && status->dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
          status->dwServiceSpecificExitCode ==
              static_cast<DWORD>(tovix::service_setup::Outcome::FolderNotAdminOnly)) {
        error = tovix::service_setup::kFolderMessage;
        return std::nullopt;
      }
      if (started && status->dwWin32ExitCode != NO_ERROR) {
        error = StartFailure(status->dwWin32ExitCode, program);
        return std::nullopt;
      }
      if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        error = StartFailure(GetLastError(), program);
        return std::nullopt;
      }
      started = true;
    }
    if (GetTickCount64() >= deadline) break;
    Sleep(20);
  }
  error = "VPN service could not start: err=" + std::to_string(ERROR_SERVICE_REQUEST_TIMEOUT);
  return std::nullopt;
}

// The installed service, when there is one, in place of the prompt: started
// if need be, and its pipe's server checked against the process the service
// manager names for it. False with `error` set when it is installed but
// cannot be had; false with `error` empty when it is not installed.
}  // namespace

bool ConnectService(const std::wstring& program, PrivilegedPipe& opened, std::string& error) {
  namespace setup = tovix::service_setup;
  tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  tovix::UniqueServiceHandle service(
      OpenServiceW(manager.get(), setup::kServiceName,
                   SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
      error = "VPN service could not start: err=" + std::to_string(GetLastError());
    }
    return false;
  }
  if (!RunsOurProgram(service.get(), program)) {
    error = kServiceUnverifiedMessage;
    return false;
  }
  const std::optional<SERVICE_STATUS_PROCESS> running = RunService(service.get(), program, error);
  if (!running) return false;
  const DWORD pid = running->dwProcessId;
  opened.servicePid = pid;
  // Still the same process of the service once the pipe is open: a service
  // that ended meanwhile may have left its name to someone else.
  const auto ended = [&] {
    const std::optional<SERVICE_STATUS_PROCESS> now = ServiceState(service.get());
    return !now || now->dwCurrentState != SERVICE_RUNNING || now->dwProcessId != pid;
  };
  if (OpenPipe(setup::kPipeName, pid, ended, opened.pipe, error)) {
    // Owned by LocalSystem, as no standard user's pipe can be.
    if (PipeOwnedBy(opened.pipe.get(), kLocalSystemSid)) return true;
    opened.pipe.reset();
    error = kServiceUnverifiedMessage;
    return false;
  }
  // Ended meanwhile: why it ended says more.
  const std::optional<SERVICE_STATUS_PROCESS> now = ServiceState(service.get());
  if (now && now->dwCurrentState == SERVICE_STOPPED && now->dwWin32ExitCode != NO_ERROR) {
    error = StartFailure(now->dwWin32ExitCode, program);
  }
  return false;
}

bool StartBroker(const std::wstring& program, ElevatedStarter start, PrivilegedPipe& opened,
                 std::string& error) {
  const std::wstring token = RandomToken();
  if (program.empty() || token.empty()) {
    error = "VPN service could not start: err=" + std::to_string(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const std::wstring id = std::to_wstring(GetCurrentProcessId());
  const std::wstring parameters =
      std::wstring(tovix::broker::kBrokerSwitch) + L" " + id + L" " + token;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  // The prompt may take the user a while.
  if (!start(&info) || info.hProcess == nullptr) {
    const DWORD startError = GetLastError();
    error = startError == ERROR_CANCELLED ? std::string(kPromptDeclinedMessage)
                                          : StartFailure(startError, program);
    return false;
  }
  tovix::UniqueHandle started(info.hProcess);
  const HANDLE waitable = started.get();
  if (!OpenPipe(
          std::wstring(tovix::broker::kBrokerPipePrefix) + id + L"." + token,
          GetProcessId(waitable),
          [waitable] { return WaitForSingleObject(waitable, 0) == WAIT_OBJECT_0; }, opened.pipe,
          error)) {
    return false;
  }
  opened.broker = std::move(started);
  return true;
}
