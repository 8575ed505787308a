// The NRPT rule (placeholder: installs nothing yet).
#include "network/dns_policy.h"

std::mutex DnsPolicyLock;
std::string dnsPolicyStatus = "none";

const DnsPolicyTarget& MachineDnsPolicyTarget() {
  static const DnsPolicyTarget target{
      HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig",
      L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient\\DnsPolicyConfig"};
  return target;
}

std::string DnsPolicyStatusSnapshot() {
  std::lock_guard lock(DnsPolicyLock);
  return dnsPolicyStatus;
}

void StartDnsPolicyApply(std::uint64_t) {}
void DnsPolicyApplyWorker(std::uint64_t) {}
std::vector<std::wstring> QueryTunnelDnsServers(std::wstring_view) { return {}; }
int InstallDnsPolicyRule(const DnsPolicyTarget&, const std::vector<std::wstring>&) { return 4; }
bool HasForeignRootRule(const DnsPolicyTarget&) { return false; }
bool DeleteDnsPolicyRule(const DnsPolicyTarget&) { return false; }
void FlushResolverCache() {}
void RemoveDnsPolicyRule(std::string_view) {}
