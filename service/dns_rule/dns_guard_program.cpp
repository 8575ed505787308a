// TovixDnsGuard.exe: the guard of the privileged program's DNS rule. No
// window, no console; it only waits, blocked on the two handles it inherited
// from the privileged program (that process, and the "release" event), then
// acts once and ends. It needs nothing but kernel32, advapi32 and ntdll (and
// dnsapi for the flush), so it costs little for as long as the VPN is connected.
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/decimal.h"
#include "common/unique_resource.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "service/dns_rule/dns_rule_owner.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;

std::optional<HANDLE> HandleValue(const std::wstring& text) {
  const std::optional<std::uint64_t> value = PositiveDecimal(text, UINTPTR_MAX);
  if (!value) return std::nullopt;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(*value));
}

// True when `handle` names an object of the kernel type `type`. Waiting
// tells nothing: a mutex is "signalled" to its first waiter, and a process
// given as the release would keep the guard waiting for that process.
bool IsObjectOfType(HANDLE handle, std::wstring_view type) {
  // The type's information, its name inside the same buffer.
  alignas(PUBLIC_OBJECT_TYPE_INFORMATION) unsigned char buffer[1024];
  ULONG size = 0;
  if (!NT_SUCCESS(NtQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &size))) {
    return false;
  }
  const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
  if (info->TypeName.Buffer == nullptr) return false;
  return std::wstring_view(info->TypeName.Buffer, info->TypeName.Length / sizeof(wchar_t)) == type;
}

// A handle to another process and an event handle, inherited: anything else
// (a value that names nothing here, an object of another kind, this very
// process, which never ends while the guard waits) is refused before any
// wait, and nothing is touched.
int RunDnsGuard(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3 || arguments[0] != kDnsGuardSwitch) return kExitRefused;
  const std::optional<HANDLE> watched = HandleValue(arguments[1]);
  const std::optional<HANDLE> release = HandleValue(arguments[2]);
  if (!watched || !release) return kExitRefused;
  const DWORD watchedId = GetProcessId(*watched);
  if (watchedId == 0 || watchedId == GetCurrentProcessId() || !IsObjectOfType(*release, L"Event")) {
    return kExitRefused;
  }

  const HANDLE waits[] = {*release, *watched};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (waited != WAIT_OBJECT_0 + 1) return waited == WAIT_OBJECT_0 ? kExitDone : kExitRefused;
  // Released on the way out: both are signalled, and the rule is gone.
  if (WaitForSingleObject(*release, 0) == WAIT_OBJECT_0) return kExitDone;
  // The privileged program ended with its rule; its owner record names a
  // process that is gone, so the rule is deleted unless a newer owner runs.
  if (DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget())) LeaveDnsGuardNote();
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
