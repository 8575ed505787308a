// The machine's rule key: where it lives, its deletion and the resolver
// cache flush that follows. Shared by the privileged program and the guard, so it
// needs nothing beyond the registry and the DNS client's library. Any thread.
#include "service/dns_rule/dns_policy.h"

#include "common/unique_resource.h"

const DnsPolicyTarget& MachineDnsPolicyTarget() {
  static const DnsPolicyTarget target{
      HKEY_LOCAL_MACHINE,
      L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig",
      L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient\\DnsPolicyConfig"};
  return target;
}

bool DeleteDnsPolicyRule(const DnsPolicyTarget& target) {
  tovix::UniqueHkey parent;
  // RegDeleteTreeW wants enumeration, query and delete access on the handle.
  if (RegOpenKeyExW(target.root, target.ruleParentPath.c_str(), 0, KEY_READ | DELETE,
                    parent.put()) != ERROR_SUCCESS) {
    return false;
  }
  // The whole tree: whatever sits at our name (sub-keys included) goes, so
  // that the next install can create the key new and volatile.
  if (RegDeleteTreeW(parent.get(), kDnsPolicyRuleKeyName) != ERROR_SUCCESS) return false;
  parent.reset();
  FlushResolverCache();
  return true;
}

void FlushResolverCache() {
  // From the system folder only, never from the application folder, the
  // current directory or PATH.
  tovix::UniqueModule dnsapi(LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!dnsapi) return;
  using FlushFunction = BOOL(WINAPI*)();
  const FARPROC entry = GetProcAddress(dnsapi.get(), "DnsFlushResolverCache");
  if (entry == nullptr) return;
  reinterpret_cast<FlushFunction>(reinterpret_cast<void*>(entry))();
}
