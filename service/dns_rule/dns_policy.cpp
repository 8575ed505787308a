// The NRPT rule in the privileged program: its status word, the installing
// worker, the registry steps and the removal.
#include "service/dns_rule/dns_policy.h"

#include <array>
#include <atomic>
#include <optional>

#include "common/text.h"
#include "common/unique_resource.h"
#include "service/core/held_core.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_rule_owner.h"
#include "service/service_log.h"

std::mutex DnsPolicyLock;

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

// The status of the machine rule, "none" at first; guarded by DnsPolicyLock.
std::string ruleStatus = "none";

// While the machine rule is ours: the owner record that tells sweeps and
// guards so, and the guard that removes the rule should this process end
// without doing it. Guarded by DnsPolicyLock.
DnsRuleOwnership ruleOwnership;
DnsGuard ruleGuard;
// Counts removals. A worker gives up once a removal has come since it
// started: the client removes the rule before it ends the core, and until
// the core is ended that core is still the current one, so "current" alone
// would let a worker still waiting for servers install the rule after its
// removal. Changed under DnsPolicyLock.
std::atomic<std::uint64_t> removals{0};

void ReleaseRuleKeeping() {
  ruleGuard.Release();
  ruleOwnership.Release();
}

bool IsMachineTarget(const DnsPolicyTarget& target) {
  const DnsPolicyTarget& machine = MachineDnsPolicyTarget();
  return target.root == machine.root && target.ruleParentPath == machine.ruleParentPath;
}

// The install of the machine rule, with its owner record and its guard in
// place before the first value is written. A guard that cannot start does not
// keep the connection from its rule. DnsPolicyLock held (and the
// cross-process lock, when it could be had).
int InstallKeptDnsPolicyRule(const DnsPolicyTarget& target,
                             const std::vector<std::wstring>& servers) {
  if (DnsPolicyConflict(target, servers) != kInstallWritten) {
    return InstallDnsPolicyRule(target, servers);
  }
  ruleOwnership.Claim();
  if (const DWORD error = ruleGuard.Start(); error != ERROR_SUCCESS) {
    ServiceLog::Write(kLogTag, "guard could not start: err=" + std::to_string(error));
  }
  const int result = InstallDnsPolicyRule(target, servers);
  if (result != kInstallWritten) ReleaseRuleKeeping();
  return result;
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

// Windows ignores every local NRPT rule as soon as the group-policy key
// exists, even with no rule below it (what a removed domain policy or a
// management tool leaves behind). Only an open that fails because the key or
// a key on its path is missing counts as absent; an open refused for any
// other reason (access denied, say) means something is there.
bool GroupPolicyKeyExists(const DnsPolicyTarget& target) {
  tovix::UniqueHkey key;
  const LSTATUS status =
      RegOpenKeyExW(target.root, target.groupPolicyPath.c_str(), 0, KEY_READ, key.put());
  return status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND;
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

void RunDnsPolicyApply(std::uint64_t core, const DnsDecided& decided) {
  // CurrentCore() answers 0 while no core is held: a request for core 0 is
  // never for the current one.
  RunDnsPolicyApply([core] { return core != 0 && CurrentCore() == core; },
                    MachineDnsPolicyTarget(), QueryTunnelDnsServers, decided);
}

void RunDnsPolicyApply(const std::function<bool()>& stillCurrent, const DnsPolicyTarget& target,
                       const TunnelDnsQuery& query, const DnsDecided& decided) {
  const std::uint64_t removalsAtStart = removals.load();
  const auto wanted = [&] { return removals.load() == removalsAtStart && stillCurrent(); };
  std::vector<std::wstring> servers;
  for (int attempt = 0; attempt < kApplyAttempts; ++attempt) {
    if (!wanted()) return;
    servers = query(tunnelAdapterName);
    if (!servers.empty()) break;
    Sleep(kApplyAttemptPauseMs);
  }
  const bool machine = IsMachineTarget(target);
  // Other processes' sweeps wait while this one claims and writes. Taken
  // before DnsPolicyLock, so that a removal never waits on another process.
  std::optional<DnsRuleLock> crossProcess;
  if (machine) crossProcess.emplace();
  std::lock_guard lock(DnsPolicyLock);
  // Re-tested under the lock: a removal that came first finds nothing
  // written; one that waits on the lock deletes this rule right after.
  if (!wanted()) return;
  const int result = machine ? InstallKeptDnsPolicyRule(target, servers)
                             : InstallDnsPolicyRule(target, servers);
  ruleStatus = DnsPolicyStatusWord(result);
  ServiceLog::Write(kLogTag, DnsPolicyLogText(ruleStatus, servers));
  if (decided) decided(ruleStatus);
}

int InstallDnsPolicyRule(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers) {
  return InstallDnsPolicyRuleWith(target, servers, ::RegSetValueExW);
}

int InstallDnsPolicyRuleWith(const DnsPolicyTarget& target,
                             const std::vector<std::wstring>& servers,
                             DnsPolicyValueWriter writeValue) {
  if (const int conflict = DnsPolicyConflict(target, servers); conflict != kInstallWritten) {
    return conflict;
  }
  DeleteDnsPolicyRule(target);

  tovix::UniqueHkey rule;
  {
    tovix::UniqueHkey parent;
    if (RegCreateKeyExW(target.root, target.ruleParentPath.c_str(), 0, nullptr, 0,
                        KEY_CREATE_SUB_KEY, nullptr, parent.put(), nullptr) != ERROR_SUCCESS) {
      return kInstallRegistryFailed;
    }
    // Only a key made new here is surely volatile and ours: an existing one
    // that survived the deletion above (another party's, or non-volatile) is
    // left as it is and nothing is written into it.
    DWORD disposition = 0;
    if (RegCreateKeyExW(parent.get(), kDnsPolicyRuleKeyName, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, nullptr, rule.put(), &disposition) != ERROR_SUCCESS ||
        disposition != REG_CREATED_NEW_KEY) {
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

int DnsPolicyConflict(const DnsPolicyTarget& target, const std::vector<std::wstring>& servers) {
  if (servers.empty()) return kInstallNoServers;
  if (GroupPolicyKeyExists(target)) return kInstallPolicyManaged;
  if (HasForeignRootRule(target)) return kInstallForeignRootRule;
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

std::string RemoveDnsPolicyRule(std::string_view reason) {
  std::lock_guard lock(DnsPolicyLock);
  removals.fetch_add(1);
  // This process's own rule, or one nobody alive owns. A rule that another
  // privileged process keeps (the broker of another Windows session) is
  // that one's to remove.
  const DnsPolicyTarget& machine = MachineDnsPolicyTarget();
  if (ruleOwnership.claimed() ? DeleteDnsPolicyRule(machine) : DeleteUnownedDnsPolicyRule(machine)) {
    ServiceLog::Write(kLogTag, "removed (" + std::string(reason) + ")");
  } else if (ruleStatus == "installed") {
    ServiceLog::Write(kLogTag, "already gone (" + std::string(reason) + ")");
  }
  ReleaseRuleKeeping();
  ruleStatus = "none";
  return ruleStatus;
}
