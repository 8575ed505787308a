// The NRPT rule: its status word, the installing worker (its own detached
// thread), the registry steps and the removal (the thread that ends the core).
#include "network/dns_policy.h"

#include <array>
#include <exception>
#include <thread>

#include "common/text.h"
#include "common/unique_resource.h"
#include "core/core_process.h"
#include "diagnostics/session_log.h"

std::mutex DnsPolicyLock;
std::string dnsPolicyStatus = "none";

namespace {

constexpr char kLogTag[] = "[dns_policy]";
constexpr int kApplyAttempts = 10;
constexpr DWORD kApplyAttemptPauseMs = 200;

// Sub-key names are at most 255 characters; the buffer holds the terminator.
constexpr DWORD kSubKeyNameChars = 256;
// A foreign rule's "Name" list is read into 4096 zeroed bytes of which 4092
// are offered, so the list always ends in two NULs.
constexpr DWORD kRuleNameBufferBytes = 4096;
constexpr DWORD kRuleNameOfferedBytes = 4092;
// Longer lists are read once more at their own size up to this bound, so a
// long foreign rule covering "." is still seen.
constexpr DWORD kRuleNameLimitBytes = 1048576;

bool CoreStillCurrent(std::uint64_t generation) {
  return CoreProcess.running.load() && CoreProcess.coreGeneration.load() == generation;
}

LSTATUS WriteString(DnsPolicyValueWriter write, HKEY key, const wchar_t* name,
                    std::wstring_view text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (bytes > MAXDWORD) return ERROR_INVALID_DATA;
  const std::wstring terminated(text);
  return write(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(terminated.c_str()),
               static_cast<DWORD>(bytes));
}

LSTATUS WriteDword(DnsPolicyValueWriter write, HKEY key, const wchar_t* name, DWORD value) {
  return write(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The seven values, in order, stopping at the first failure.
LSTATUS WriteRuleValues(DnsPolicyValueWriter write, HKEY key, std::wstring_view servers) {
  static constexpr wchar_t kRootNamespace[] = {L'.', L'\0', L'\0'};
  LSTATUS status = WriteDword(write, key, L"Version", 2);
  if (status == ERROR_SUCCESS) {
    status = write(key, L"Name", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kRootNamespace),
                   sizeof kRootNamespace);
  }
  if (status == ERROR_SUCCESS) status = WriteString(write, key, L"GenericDNSServers", servers);
  if (status == ERROR_SUCCESS) status = WriteDword(write, key, L"ConfigOptions", 8);
  if (status == ERROR_SUCCESS) status = WriteString(write, key, L"IPSECCARestriction", L"");
  if (status == ERROR_SUCCESS) {
    status = WriteString(write, key, L"Comment",
                         L"Kelpmarrow Full VPN: resolve through the tunnel while connected");
  }
  if (status == ERROR_SUCCESS) status = WriteString(write, key, L"DisplayName", L"Kelpmarrow Full VPN");
  return status;
}

bool GroupPolicyHoldsRules(const DnsPolicyTarget& target) {
  tovix::UniqueHkey key;
  if (RegOpenKeyExW(target.root, target.groupPolicyPath.c_str(), 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD subKeys = 0;
  if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return subKeys >= 1;
}

// True when the multi-string in `data` (NUL-separated, ends at an empty
// string or at the end) holds "." exactly.
bool ListHoldsRoot(const std::vector<wchar_t>& data) {
  size_t at = 0;
  while (at < data.size() && data[at] != L'\0') {
    size_t end = at;
    while (end < data.size() && data[end] != L'\0') ++end;
    if (end - at == 1 && data[at] == L'.') return true;
    at = end + 1;
  }
  return false;
}

// The "Name" list of one sub-key holds ".".
bool RuleCoversRoot(HKEY parent, const wchar_t* subKey) {
  std::vector<wchar_t> data(kRuleNameBufferBytes / sizeof(wchar_t), L'\0');
  DWORD size = kRuleNameOfferedBytes;
  LSTATUS status =
      RegGetValueW(parent, subKey, L"Name", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size);
  if (status == ERROR_MORE_DATA && size <= kRuleNameLimitBytes) {
    // Two spare characters keep the list terminated whatever was stored.
    data.assign(size / sizeof(wchar_t) + 4, L'\0');
    size = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    status = RegGetValueW(parent, subKey, L"Name", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size);
  }
  return status == ERROR_SUCCESS && ListHoldsRoot(data);
}

}  // namespace

const DnsPolicyTarget& MachineDnsPolicyTarget() {
  static const DnsPolicyTarget target{
      HKEY_LOCAL_MACHINE,
      L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig",
      L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient\\DnsPolicyConfig"};
  return target;
}

std::string DnsPolicyStatusSnapshot() {
  std::lock_guard lock(DnsPolicyLock);
  return dnsPolicyStatus;
}

std::string DnsPolicyStatusWord(int installResult) {
  switch (installResult) {
    case kInstallWritten: return "installed";
    case kInstallNoServers: return "no_tunnel_dns";
    case kInstallPolicyManaged: return "policy_managed";
    case kInstallForeignRootRule: return "foreign_dot_rule";
    default: return "failed";
  }
}

std::wstring JoinDnsServers(const std::vector<std::wstring>& servers) {
  std::wstring joined;
  for (size_t i = 0; i < servers.size(); ++i) {
    if (i > 0) joined += L';';
    joined += servers[i];
  }
  return joined;
}

std::string DnsPolicyLogText(std::string_view status, const std::vector<std::wstring>& servers) {
  std::string text(status);
  if (!servers.empty()) {
    text += " . -> ";
    text += ToUtf8(JoinDnsServers(servers));
  }
  return text;
}

void StartDnsPolicyApply(std::uint64_t generation) {
  // Detached: nobody waits for it. It re-tests the core's generation under
  // DnsPolicyLock before writing, so a stop or restart makes it a no-op.
  std::thread(DnsPolicyApplyWorker, generation).detach();
}

void DnsPolicyApplyWorker(std::uint64_t generation) {
  try {
    RunDnsPolicyApply(generation, MachineDnsPolicyTarget(), QueryTunnelDnsServers);
  } catch (...) {
    // Thread entry: nothing escapes; the status word keeps its last value.
  }
}

void RunDnsPolicyApply(std::uint64_t generation, const DnsPolicyTarget& target,
                       const TunnelDnsQuery& query) {
  std::vector<std::wstring> servers;
  for (int attempt = 0; attempt < kApplyAttempts; ++attempt) {
    if (!CoreStillCurrent(generation)) return;
    servers = query(tunnelAdapterName);
    if (!servers.empty()) break;
    Sleep(kApplyAttemptPauseMs);
  }
  std::lock_guard lock(DnsPolicyLock);
  // Re-tested under the lock: a removal that cleared `running` first finds
  // nothing written; one that waits on the lock deletes this rule right after.
  if (!CoreStillCurrent(generation)) return;
  dnsPolicyStatus = DnsPolicyStatusWord(InstallDnsPolicyRule(target, servers));
  SessionLog::Write(kLogTag, DnsPolicyLogText(dnsPolicyStatus, servers));
}

int InstallDnsPolicyRule(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers) {
  return InstallDnsPolicyRuleWith(target, servers, ::RegSetValueExW);
}

int InstallDnsPolicyRuleWith(const DnsPolicyTarget& target,
                             const std::vector<std::wstring>& servers,
                             DnsPolicyValueWriter writeValue) {
  if (servers.empty()) return kInstallNoServers;
  if (GroupPolicyHoldsRules(target)) return kInstallPolicyManaged;
  if (HasForeignRootRule(target)) return kInstallForeignRootRule;
  DeleteDnsPolicyRule(target);

  tovix::UniqueHkey rule;
  {
    tovix::UniqueHkey parent;
    if (RegCreateKeyExW(target.root, target.ruleParentPath.c_str(), 0, nullptr, 0,
                        KEY_CREATE_SUB_KEY, nullptr, parent.put(), nullptr) != ERROR_SUCCESS) {
      return kInstallRegistryFailed;
    }
    if (RegCreateKeyExW(parent.get(), kDnsPolicyRuleKeyName, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, nullptr, rule.put(), nullptr) != ERROR_SUCCESS) {
      return kInstallRegistryFailed;
    }
  }
  const LSTATUS written = WriteRuleValues(writeValue, rule.get(), JoinDnsServers(servers));
  rule.reset();
  if (written != ERROR_SUCCESS) {
    // Never leave a half-written rule behind.
    DeleteDnsPolicyRule(target);
    return kInstallRegistryFailed;
  }
  FlushResolverCache();
  return kInstallWritten;
}

bool HasForeignRootRule(const DnsPolicyTarget& target) {
  tovix::UniqueHkey parent;
  if (RegOpenKeyExW(target.root, target.ruleParentPath.c_str(), 0, KEY_READ, parent.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  for (DWORD index = 0;; ++index) {
    std::array<wchar_t, kSubKeyNameChars> name{};
    DWORD nameChars = kSubKeyNameChars;
    if (RegEnumKeyExW(parent.get(), index, name.data(), &nameChars, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      return false;
    }
    if (CompareStringOrdinal(name.data(), -1, kDnsPolicyRuleKeyName, -1, TRUE) == CSTR_EQUAL) {
      continue;
    }
    if (RuleCoversRoot(parent.get(), name.data())) return true;
  }
}

bool DeleteDnsPolicyRule(const DnsPolicyTarget& target) {
  tovix::UniqueHkey parent;
  if (RegOpenKeyExW(target.root, target.ruleParentPath.c_str(), 0, KEY_READ, parent.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (RegDeleteKeyW(parent.get(), kDnsPolicyRuleKeyName) != ERROR_SUCCESS) return false;
  parent.reset();
  FlushResolverCache();
  return true;
}

void FlushResolverCache() {
  // From the system folder only: the host runs elevated.
  tovix::UniqueModule dnsapi(
      LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!dnsapi) return;
  using FlushFunction = BOOL(WINAPI*)();
  const FARPROC entry = GetProcAddress(dnsapi.get(), "DnsFlushResolverCache");
  if (entry == nullptr) return;
  reinterpret_cast<FlushFunction>(reinterpret_cast<void*>(entry))();
}

void RemoveDnsPolicyRule(std::string_view reason) {
  std::lock_guard lock(DnsPolicyLock);
  if (DeleteDnsPolicyRule(MachineDnsPolicyTarget())) {
    SessionLog::Write(kLogTag, "removed (" + std::string(reason) + ")");
  } else if (dnsPolicyStatus == "installed") {
    SessionLog::Write(kLogTag, "already gone (" + std::string(reason) + ")");
  }
  dnsPolicyStatus = "none";
}
