// The guard of the machine's DNS policy rule: TovixDnsGuard.exe, a small
// program beside TovixService.exe that the privileged program starts while
// its rule exists. It removes the rule if the privileged program ends
// without doing so (a crash, a kill). The two meet through handles only,
// which the guard inherits at its creation: one that waits on the privileged
// process, and an unnamed "release" event. Nothing has a name another process
// could make first, and the guard watches from its first instruction on, so
// there is nothing to wait for. Privileged program; under DnsPolicyLock.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

inline constexpr wchar_t kDnsGuardProgram[] = L"TovixDnsGuard.exe";
inline constexpr wchar_t kDnsGuardSwitch[] = L"--km-dns-guard";
// Where the guard leaves word that it removed a rule: a volatile key under
// HKEY_LOCAL_MACHINE, which only administrators can write.
inline constexpr wchar_t kDnsGuardNoteKey[] = L"SOFTWARE\\Kelpmarrow\\DnsGuardRemovedRule";

class DnsGuard {
 public:
  DnsGuard() = default;
  // Closing the handles does not release the guard: a program that goes
  // without Release() still has its rule, and the guard is to remove it.
  ~DnsGuard() = default;
  DnsGuard(const DnsGuard&) = delete;
  DnsGuard& operator=(const DnsGuard&) = delete;

  // Starts the guard over this process. ERROR_SUCCESS, or the error that
  // kept it from starting; then nothing is held. Does not wait.
  DWORD Start();
  // The rule is gone: the guard ends without touching anything. Does not
  // wait for it to end.
  void Release();
  HANDLE process() const { return process_.get(); }

 private:
  tovix::UniqueHandle release_;
  tovix::UniqueHandle process_;
};

// The guard program: TovixDnsGuard.exe beside this executable unless set
// (a test names another program).
void SetDnsGuardExecutable(std::wstring path);

// Leaves word that a rule was removed for a host that ended while connected
// (the guard, or the privileged program when its client ended).
inline void LeaveDnsGuardNote() {
  tovix::UniqueHkey note;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey, 0, nullptr, REG_OPTION_VOLATILE,
                  KEY_SET_VALUE, nullptr, note.put(), nullptr);
}

// True, once, after a rule was removed so; the next session log says so.
bool TakeDnsGuardNote();
