// The NRPT rule that sends every DNS query through the tunnel while the core
// is up. The worker runs on its own detached thread; removal runs on the
// thread that ends the core.
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

// Serialises installing, removal and every read of dnsPolicyStatus. Only the
// session log's lock may be taken while it is held, and nothing that waits
// for another process (the guard, the cross-process rule lock) is done under
// it, so that a stop's removal never waits longer than a few registry calls.
extern std::mutex DnsPolicyLock;
extern std::string dnsPolicyStatus;  // guarded by DnsPolicyLock; "none" at first

// Copy of dnsPolicyStatus taken under DnsPolicyLock.
std::string DnsPolicyStatusSnapshot();

void StartDnsPolicyApply(std::uint64_t generation);
void DnsPolicyApplyWorker(std::uint64_t generation);
std::vector<std::wstring> QueryTunnelDnsServers(std::wstring_view adapterName);
int InstallDnsPolicyRule(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers);
bool HasForeignRootRule(const DnsPolicyTarget& target);
// What would keep the install from writing: kInstallNoServers,
// kInstallPolicyManaged or kInstallForeignRootRule; kInstallWritten when
// nothing does. Reads the registry only.
int DnsPolicyConflict(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers);
bool DeleteDnsPolicyRule(const DnsPolicyTarget& target);
void FlushResolverCache();
void RemoveDnsPolicyRule(std::string_view reason);

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

// The worker's body over a chosen target and server query (the worker itself
// uses the machine target and QueryTunnelDnsServers).
using TunnelDnsQuery = std::function<std::vector<std::wstring>(std::wstring_view)>;
void RunDnsPolicyApply(std::uint64_t generation, const DnsPolicyTarget& target,
                       const TunnelDnsQuery& query);
