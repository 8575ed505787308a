// Starting and releasing the DNS rule's guard. Under DnsPolicyLock, apart
// from the note.
#include "service/dns_rule/dns_guard.h"

#include <mutex>
#include <vector>

#include "common/paths.h"

namespace {


std::mutex executableLock;  // guards guardExecutable
std::wstring guardExecutable;

std::wstring GuardExecutable() {
  {
    std::lock_guard lock(executableLock);
    if (!guardExecutable.empty()) return guardExecutable;
  }
  return ExecutableFolderFile(kDnsGuardProgram);
}

std::wstring HandleText(HANDLE handle) {
  return std::to_wstring(reinterpret_cast<std::uintptr_t>(handle));
}

// Creates the guard inheriting exactly `handles` (inheritable only for this
// call), outside any job that lets it break away, in its own folder.
DWORD CreateGuard(const std::wstring& executable, std::wstring& commandLine, HANDLE (&handles)[2],
                  PROCESS_INFORMATION& created) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return GetLastError();
  DWORD error = ERROR_SUCCESS;
  if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                sizeof handles, nullptr, nullptr)) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    const std::wstring folder = executable.substr(0, executable.find_last_of(L'\\') + 1);
    for (HANDLE handle : handles) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
    BOOL started = CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, folder.c_str(),
                                  &startup.StartupInfo, &created);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
      started = CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                               flags, nullptr, folder.c_str(), &startup.StartupInfo, &created);
    }
    error = started ? ERROR_SUCCESS : GetLastError();
    for (HANDLE handle : handles) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  } else {
    error = GetLastError();
  }
  DeleteProcThreadAttributeList(list);
  return error;
}

}  // namespace

DWORD DnsGuard::Start() {
  Release();
  const std::wstring executable = GuardExecutable();
  if (executable.empty()) return ERROR_FILE_NOT_FOUND;
  tovix::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Waiting is all the guard does with this process, but it also asks the
  // handle for its process id to know it was given a process (GetProcessId
  // wants query access, and fails without it).
  HANDLE self = nullptr;
  if (!release || !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                                   &self, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                   FALSE, 0)) {
    return GetLastError();
  }
  tovix::UniqueHandle watched(self);
  HANDLE handles[2] = {watched.get(), release.get()};
  std::wstring commandLine = L"\"" + executable + L"\" " + kDnsGuardSwitch + L" " +
                             HandleText(watched.get()) + L" " + HandleText(release.get());
  PROCESS_INFORMATION created{};
  if (const DWORD error = CreateGuard(executable, commandLine, handles, created);
      error != ERROR_SUCCESS) {
    return error;
  }
  CloseHandle(created.hThread);
  process_.reset(created.hProcess);
  release_ = std::move(release);
  return ERROR_SUCCESS;
}

void DnsGuard::Release() {
  if (!process_) return;
  SetEvent(release_.get());
  process_.reset();
  release_.reset();
}

void SetDnsGuardExecutable(std::wstring path) {
  std::lock_guard lock(executableLock);
  guardExecutable = std::move(path);
}

bool TakeDnsGuardNote() {
  return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey) == ERROR_SUCCESS;
}
