// The owner record and the lock around the machine rule. Any thread.
//
// Where the lock lives, and why a name someone else took never stops a
// deletion:
// - In a private namespace whose boundary is BUILTIN\Administrators: only a
//   process whose token holds that group, enabled, can create the namespace
//   (a standard user cannot, nor an administrator's unelevated process), and
//   its descriptor lets only SYSTEM and Administrators open it and so make
//   anything in it. The mutex inside has a name nobody else can take. A
//   namespace is found by its boundary and its alias together: a user's own
//   namespace of the same alias, with a boundary of their own, is another one.
// - Wine 8 has no private namespaces (CreateBoundaryDescriptorW answers
//   null). There, and wherever the namespace cannot be had, the mutex has a
//   global name, is made owned by Administrators and lets only SYSTEM and
//   Administrators in. Anyone may make an object of that name first. Such an
//   object (another owner, another kind, or one we may not open) is never
//   taken for ours, and it stops nothing: the sweep or the guard deletes the
//   rule of a dead owner without the lock. What the lock prevents is rare and
//   mild: a sweep that found the owner dead deletes the rule just as another
//   privileged program claims and writes a new one, whose connection then runs
//   without the rule until it reconnects. Waiting for the name instead would
//   let any user keep a dead owner's rule in place, and with it every user's
//   DNS sent to a tunnel that is gone, for as long as they liked.
// - A lock of ours that stays held past the wait is held by a privileged
//   program: no deletion then (a rule is never deleted on a doubt).
#include "service/dns_rule/dns_rule_owner.h"

#include <aclapi.h>
#include <sddl.h>

#include <optional>

namespace {

// Claims and deletions hold the lock for a few registry calls; a wait this
// long means another process keeps it.
constexpr DWORD kLockWaitMs = 3000;
constexpr wchar_t kOwnerProcessId[] = L"ProcessId";
constexpr wchar_t kOwnerStart[] = L"ProcessStart";
// Owned by Administrators; only SYSTEM and Administrators may use it (the
// namespace and the mutex).
constexpr wchar_t kLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr wchar_t kBoundaryName[] = L"Kelpmarrow.Tovix.Administrators";
constexpr wchar_t kNamespaceAlias[] = L"Kelpmarrow.Tovix";
constexpr wchar_t kLockInNamespace[] = L"Kelpmarrow.Tovix\\DnsPolicyRule.Lock";
// The namespace goes when its last handle closes; one that closed between
// "it exists" and the open is simply created again.
constexpr int kNamespaceAttempts = 4;

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

// The Administrators' private namespace, created or opened; null where
// there is none to be had.
UniquePrivateNamespace OpenAdministratorsNamespace(SECURITY_ATTRIBUTES& attributes) {
  HANDLE boundary = CreateBoundaryDescriptorW(kBoundaryName, 0);
  if (boundary == nullptr) return {};
  UniquePrivateNamespace opened;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
      AddSIDToBoundaryDescriptor(&boundary, administrators)) {
    for (int attempt = 0; attempt < kNamespaceAttempts && !opened; ++attempt) {
      opened.reset(CreatePrivateNamespaceW(&attributes, boundary, kNamespaceAlias));
      if (!opened && GetLastError() == ERROR_ALREADY_EXISTS) {
        opened.reset(OpenPrivateNamespaceW(boundary, kNamespaceAlias));
      } else if (!opened) {
        break;
      }
    }
  }
  DeleteBoundaryDescriptor(boundary);
  return opened;
}

}  // namespace

DnsRuleLock::DnsRuleLock() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    // Nothing else can make this fail: there is no lock to be had.
    return;
  }
  const tovix::UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  namespace_ = OpenAdministratorsNamespace(attributes);
  mutex_.reset(
      CreateMutexW(&attributes, FALSE, namespace_ ? kLockInNamespace : kDnsRuleLockName));
  if (!mutex_ || !OwnedByAdministrators(mutex_.get())) {
    mutex_.reset();
    return;  // Unguarded
  }
  const DWORD waited = WaitForSingleObject(mutex_.get(), kLockWaitMs);
  state_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED ? State::Held : State::Busy;
}

DnsRuleLock::~DnsRuleLock() {
  if (state_ == State::Held) ReleaseMutex(mutex_.get());
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
  if (!lock.mayAct() || DnsRuleOwnerAlive()) return false;
  const bool deleted = DeleteDnsPolicyRule(target);
  // The record of an owner that is gone goes with its rule.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
  return deleted;
}
