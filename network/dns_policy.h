// The NRPT rule that sends every DNS query through the tunnel while the core
// is up. The worker runs on its own detached thread; removal runs on the
// thread that ends the core.
#pragma once

#include <windows.h>

#include <cstdint>
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
// session log's lock may be taken while it is held.
extern std::mutex DnsPolicyLock;
extern std::string dnsPolicyStatus;  // guarded by DnsPolicyLock; "none" at first

// Copy of dnsPolicyStatus taken under DnsPolicyLock.
std::string DnsPolicyStatusSnapshot();

void StartDnsPolicyApply(std::uint64_t generation);
void DnsPolicyApplyWorker(std::uint64_t generation);
std::vector<std::wstring> QueryTunnelDnsServers(std::wstring_view adapterName);
int InstallDnsPolicyRule(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers);
bool HasForeignRootRule(const DnsPolicyTarget& target);
bool DeleteDnsPolicyRule(const DnsPolicyTarget& target);
void FlushResolverCache();
void RemoveDnsPolicyRule(std::string_view reason);
