// The owner record and the lock around the machine rule. Any thread.
#include "service/dns_rule_owner.h"

#include <aclapi.h>
#include <sddl.h>

#include <optional>

namespace {

// Claims and deletions hold the lock for a few registry calls; a wait this
// long means another process keeps it.
constexpr DWORD kLockWaitMs = 3000;
constexpr wchar_t kOwnerProcessId[] = L"ProcessId";
constexpr wchar_t kOwnerStart[] = L"ProcessStart";
// Owned by Administrators; only SYSTEM and Administrators may use it.
constexpr wchar_t kLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

struct OwnerRecord {
  DWORD processId = 0;
  ULONGLONG start = 0;
};

std::optional<ULONGLONG> StartTime(HANDLE process) {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return std::nullopt;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

OwnerRecord ThisProcess() {
  return OwnerRecord{GetCurrentProcessId(), StartTime(GetCurrentProcess()).value_or(0)};
}

// The lock's object is ours only when SYSTEM or Administrators own it: a
// process of the user can make an object of this name first, but cannot
// give it either owner.
bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool ours = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                         IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  LocalFree(descriptor);
  return ours;
}

}  // namespace

DnsRuleLock::DnsRuleLock() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  mutex_.reset(CreateMutexW(&attributes, FALSE, kDnsRuleLockName));
  LocalFree(descriptor);
  if (!mutex_ || !OwnedByAdministrators(mutex_.get())) {
    mutex_.reset();
    return;
  }
  const DWORD waited = WaitForSingleObject(mutex_.get(), kLockWaitMs);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

DnsRuleLock::~DnsRuleLock() {
  if (held_) ReleaseMutex(mutex_.get());
}

bool DnsRuleOwnerAlive() {
  tovix::UniqueHkey key;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey, 0, KEY_QUERY_VALUE,
                                       key.put());
  if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) return false;
  if (opened != ERROR_SUCCESS) return true;
  OwnerRecord record;
  DWORD size = sizeof record.processId;
  if (RegGetValueW(key.get(), nullptr, kOwnerProcessId, RRF_RT_REG_DWORD, nullptr,
                   &record.processId, &size) != ERROR_SUCCESS) {
    return true;
  }
  size = sizeof record.start;
  if (RegGetValueW(key.get(), nullptr, kOwnerStart, RRF_RT_REG_QWORD, nullptr, &record.start,
                   &size) != ERROR_SUCCESS) {
    return true;
  }
  tovix::UniqueHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, record.processId));
  // No such process any more (Windows answers "invalid parameter").
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return false;
  const std::optional<ULONGLONG> start = StartTime(process.get());
  return !start || *start == record.start;
}

bool DnsRuleOwnership::Claim() {
  Release();
  tovix::UniqueHkey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey, 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const OwnerRecord self = ThisProcess();
  claimed_ = RegSetValueExW(key.get(), kOwnerProcessId, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&self.processId),
                            sizeof self.processId) == ERROR_SUCCESS &&
             RegSetValueExW(key.get(), kOwnerStart, 0, REG_QWORD,
                            reinterpret_cast<const BYTE*>(&self.start),
                            sizeof self.start) == ERROR_SUCCESS;
  return claimed_;
}

void DnsRuleOwnership::Release() {
  if (!claimed_) return;
  claimed_ = false;
  // Only a record that still names this process goes.
  DWORD recorded = 0;
  DWORD size = sizeof recorded;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey, kOwnerProcessId, RRF_RT_REG_DWORD,
                   nullptr, &recorded, &size) == ERROR_SUCCESS &&
      recorded == GetCurrentProcessId()) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
  }
}

bool DeleteUnownedDnsPolicyRule(const DnsPolicyTarget& target) {
  DnsRuleLock lock;
  if (!lock.held() || DnsRuleOwnerAlive()) return false;
  const bool deleted = DeleteDnsPolicyRule(target);
  // The record of an owner that is gone goes with its rule.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
  return deleted;
}
