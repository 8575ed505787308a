// The host's side of the DNS rule guard: starting it, waiting until it
// watches, releasing it, and taking the note it leaves. The DNS policy
// worker's thread and the thread that removes the rule, never under
// DnsPolicyLock; the note at window creation.
#include "network/dns_guard.h"

#include <mutex>

namespace {

constexpr DWORD kArmWaitMs = 5000;
constexpr DWORD kReleaseWaitMs = 2000;
constexpr DWORD kModulePathChars = 32768;

std::mutex executableLock;  // guards guardExecutable
std::wstring guardExecutable;

std::wstring GuardExecutable() {
  {
    std::lock_guard lock(executableLock);
    if (!guardExecutable.empty()) return guardExecutable;
  }
  std::wstring path(kModulePathChars, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), kModulePathChars);
  if (length == 0 || length >= kModulePathChars) return {};
  path.resize(length);
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return path.substr(0, slash + 1) + kDnsGuardProgram;
}

// A fresh manual-reset event of this name; null (with the error) when the
// name is taken already, so that nobody else's object stands in for ours.
tovix::UniqueHandle CreateFreshEvent(const std::wstring& name, DWORD& error) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  error = GetLastError();
  if (event && error == ERROR_ALREADY_EXISTS) event.reset();
  if (event) error = ERROR_SUCCESS;
  return event;
}

}  // namespace

DWORD DnsGuard::Start() {
  Release();
  const DWORD hostId = GetCurrentProcessId();
  DWORD error = ERROR_SUCCESS;
  tovix::UniqueHandle release = CreateFreshEvent(DnsGuardEventName(L"Release", hostId), error);
  if (!release) return error;
  tovix::UniqueHandle armed = CreateFreshEvent(DnsGuardEventName(L"Armed", hostId), error);
  if (!armed) return error;

  const std::wstring executable = GuardExecutable();
  if (executable.empty()) return ERROR_FILE_NOT_FOUND;
  std::wstring commandLine =
      L"\"" + executable + L"\" " + kDnsGuardSwitch + L" " + std::to_wstring(hostId);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  // Outside any job the host may run in, where the job allows it, so that
  // closing that job does not end the guard along with the host.
  // It runs in its own folder, holding no handle to wherever the host was
  // started from.
  const std::wstring folder = executable.substr(0, executable.find_last_of(L'\\') + 1);
  BOOL started =
      CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                     CREATE_BREAKAWAY_FROM_JOB, nullptr, folder.c_str(), &startup, &created);
  if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
    started = CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, folder.c_str(), &startup, &created);
  }
  if (!started) return GetLastError();
  CloseHandle(created.hThread);
  tovix::UniqueHandle process(created.hProcess);

  const HANDLE waits[] = {armed.get(), process.get()};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, kArmWaitMs);
  if (waited != WAIT_OBJECT_0) {
    // Ended, or too slow to be trusted with the rule: tell it to go.
    SetEvent(release.get());
    return waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_PROCESS_ABORTED;
  }
  release_ = std::move(release);
  process_ = std::move(process);
  return ERROR_SUCCESS;
}

void DnsGuard::Release() {
  if (!process_) return;
  SetEvent(release_.get());
  WaitForSingleObject(process_.get(), kReleaseWaitMs);
  process_.reset();
  release_.reset();
}

void SetDnsGuardExecutable(std::wstring path) {
  std::lock_guard lock(executableLock);
  guardExecutable = std::move(path);
}

bool TakeDnsGuardNote() {
  return RegDeleteKeyValueW(HKEY_CURRENT_USER, kDnsGuardNoteKey, kDnsGuardNoteValue) ==
         ERROR_SUCCESS;
}
