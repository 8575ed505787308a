// TovixDnsGuard.exe: the guard of a running host's DNS rule. No window, no
// console; after its start it only waits, blocked on the host's process and
// the host's "Release" event, then acts once and ends. It needs nothing but
// kernel32 and advapi32 (and dnsapi for the flush), so it costs little memory
// for as long as the host is connected.
#include <windows.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "network/dns_guard.h"
#include "network/dns_policy.h"
#include "network/dns_rule_owner.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;

// The host's process id when the arguments are exactly the switch and a
// decimal number that fits a process id (not zero).
std::optional<DWORD> HostProcessId(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2 || arguments[0] != kDnsGuardSwitch) return std::nullopt;
  std::string digits;
  for (const wchar_t c : arguments[1]) {
    if (c < L'0' || c > L'9') return std::nullopt;
    digits.push_back(static_cast<char>(c));
  }
  DWORD id = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || id == 0) {
    return std::nullopt;
  }
  return id;
}

int RunDnsGuard(const std::vector<std::wstring>& arguments) {
  const std::optional<DWORD> hostId = HostProcessId(arguments);
  if (!hostId) return kExitRefused;
  // Both events exist only while the host that made them (or its guard)
  // holds them: a wrong or stale id finds neither, and nothing is touched.
  tovix::UniqueHandle release(
      OpenEventW(SYNCHRONIZE, FALSE, DnsGuardEventName(L"Release", *hostId).c_str()));
  tovix::UniqueHandle armed(
      OpenEventW(EVENT_MODIFY_STATE, FALSE, DnsGuardEventName(L"Armed", *hostId).c_str()));
  tovix::UniqueHandle host(OpenProcess(SYNCHRONIZE, FALSE, *hostId));
  if (!release || !armed || !host) return kExitRefused;
  SetEvent(armed.get());
  armed.reset();

  const HANDLE waits[] = {release.get(), host.get()};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (waited != WAIT_OBJECT_0 + 1) return waited == WAIT_OBJECT_0 ? kExitDone : kExitRefused;
  // Released on the way out: both are signalled, and the rule is gone.
  if (WaitForSingleObject(release.get(), 0) == WAIT_OBJECT_0) return kExitDone;
  // The host ended with its rule. Its owner handle went with it, so the rule
  // is deleted unless a newer host owns one by now.
  if (DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget())) {
    const DWORD one = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, kDnsGuardNoteKey, kDnsGuardNoteValue, REG_DWORD, &one,
                    sizeof one);
  }
  return kExitDone;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // System DLLs from the system folder only: the guard runs elevated.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  try {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < __argc; ++i) arguments.emplace_back(__wargv[i]);
    return RunDnsGuard(arguments);
  } catch (...) {
    return kExitRefused;
  }
}
