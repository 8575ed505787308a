// The guard of the machine's DNS policy rule: TovixDnsGuard.exe, a small
// program beside Tovix.exe that the host starts while its rule exists. It
// waits on the host's process and removes the rule if the host ends without
// having removed it itself (a crash, taskkill /f, Task Manager). This is the
// host's side: the installing worker starts it and the removal releases it,
// both outside DnsPolicyLock, since both wait for the guard; only the handing
// over of a started guard happens under that lock. The two sides meet through two global events named after the
// host's process id, both made by the host before it starts the guard:
// "Release" (the host tells the guard to go) and "Armed" (the guard tells the
// host it now holds the host's process handle).
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

inline constexpr wchar_t kDnsGuardProgram[] = L"TovixDnsGuard.exe";
inline constexpr wchar_t kDnsGuardSwitch[] = L"--km-dns-guard";
// Where the guard leaves word that it removed a rule (HKEY_CURRENT_USER).
inline constexpr wchar_t kDnsGuardNoteKey[] = L"Software\\Kelpmarrow";
inline constexpr wchar_t kDnsGuardNoteValue[] = L"DnsGuardRemovedRule";

inline std::wstring DnsGuardEventName(const wchar_t* role, DWORD hostProcessId) {
  return std::wstring(L"Global\\Kelpmarrow.DnsGuard.v1.") + role + L"." +
         std::to_wstring(hostProcessId);
}

// The host's side of one guard.
class DnsGuard {
 public:
  DnsGuard() = default;
  // Closing the handles does not release the guard: a host that goes without
  // Release() still has its rule, and the guard is to remove it.
  ~DnsGuard() = default;
  DnsGuard(const DnsGuard&) = delete;
  DnsGuard& operator=(const DnsGuard&) = delete;
  // A guard is handed over by swapping; a move onto a guard that still runs
  // would forget it without a release.
  DnsGuard(DnsGuard&&) = default;
  DnsGuard& operator=(DnsGuard&&) = default;

  // Starts the guard and waits until it watches this process. ERROR_SUCCESS,
  // or the Windows error that kept it from watching; then nothing is held.
  DWORD Start();
  // The rule is gone, or the host leaves with it removed: the guard ends
  // without touching anything. Waits briefly for it to end.
  void Release();
  HANDLE process() const { return process_.get(); }

 private:
  tovix::UniqueHandle release_;
  tovix::UniqueHandle process_;
};

// The guard program: TovixDnsGuard.exe beside this executable unless set
// (a test names a path that does not exist).
void SetDnsGuardExecutable(std::wstring path);

// True, once, after a guard removed a rule; the next session log says so.
bool TakeDnsGuardNote();
