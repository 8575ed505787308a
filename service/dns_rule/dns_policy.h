// The NRPT rule that sends every DNS query through the tunnel while the core
// is up, as the privileged program keeps it: the registry steps, the
// installing worker (a thread per request) and the removal (the request
// thread). Its session-log lines go to ServiceLog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct DnsPolicyTarget {
  HKEY root;
  std::wstring ruleParentPath;
  std::wstring groupPolicyPath;
};

// HKEY_LOCAL_MACHINE with the real rule parent and group-policy paths.
const DnsPolicyTarget& MachineDnsPolicyTarget();

// "Kelpmarrow": the TUN adapter's friendly name and our adapters' prefix.
inline constexpr wchar_t tunnelAdapterName[] = L"Kelpmarrow";

// Serialises installing and removal, and guards the status word. Taken after
// the cross-process DnsRuleLock where both are held; nothing that waits on
// another process happens under it.
extern std::mutex DnsPolicyLock;

std::vector<std::wstring> QueryTunnelDnsServers(std::wstring_view adapterName);
int InstallDnsPolicyRule(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers);
bool HasForeignRootRule(const DnsPolicyTarget& target);
// What would keep the install from writing: kInstallNoServers,
// kInstallPolicyManaged or kInstallForeignRootRule; kInstallWritten when
// nothing does. Reads the registry only.
int DnsPolicyConflict(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers);
bool DeleteDnsPolicyRule(const DnsPolicyTarget& target);
void FlushResolverCache();

// Removes the machine rule (and lets its guard and owner record go); logs
// what it found. Returns the status word that follows, "none".
std::string RemoveDnsPolicyRule(std::string_view reason);

// The rule key's name below the rule parent key (a fixed GUID).
inline constexpr wchar_t kDnsPolicyRuleKeyName[] = L"{3D8E5F71-2A64-4B9C-9E13-7C42A5D08E6B}";

// InstallDnsPolicyRule's codes.
enum InstallResult : int {
  kInstallWritten = 0,
  kInstallNoServers = 1,
  kInstallPolicyManaged = 2,
  kInstallForeignRootRule = 3,
  kInstallRegistryFailed = 4,
};

// "installed", "no_tunnel_dns", "policy_managed", "foreign_dot_rule"; any
// other code "failed".
std::string DnsPolicyStatusWord(int installResult);
// The servers in order, joined with ";".
std::wstring JoinDnsServers(const std::vector<std::wstring>& servers);
// The worker's log text: the status word, then " . -> " and the joined
// servers (UTF-8) when there are any.
std::string DnsPolicyLogText(std::string_view status, const std::vector<std::wstring>& servers);

// RegSetValueExW's shape: the one registry step a test can make fail on
// purpose (Windows gives no dependable way to refuse a value write on a key
// that was just opened for writing).
using DnsPolicyValueWriter = LSTATUS(WINAPI*)(HKEY key, const wchar_t* name, DWORD reserved,
                                              DWORD type, const BYTE* data, DWORD size);
int InstallDnsPolicyRuleWith(const DnsPolicyTarget& target,
                             const std::vector<std::wstring>& servers,
                             DnsPolicyValueWriter writeValue);

// The worker's body: waits (up to ten tries) for the tunnel's DNS servers
// while `stillCurrent` holds, then installs the rule on `target` unless the
// core stopped meanwhile. `decided` runs under DnsPolicyLock with the status
// word once the rule is decided; it does not run for a core that stopped.
using TunnelDnsQuery = std::function<std::vector<std::wstring>(std::wstring_view)>;
using DnsDecided = std::function<void(const std::string& status)>;
void RunDnsPolicyApply(const std::function<bool()>& stillCurrent, const DnsPolicyTarget& target,
                       const TunnelDnsQuery& query, const DnsDecided& decided);
// The same for the privileged program's core `core`, on the machine.
void RunDnsPolicyApply(std::uint64_t core, const DnsDecided& decided);
