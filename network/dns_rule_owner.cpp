// The owner event and the lock around the machine rule. Any thread.
#include "network/dns_rule_owner.h"

namespace {

// Claims and deletions hold the lock for a few registry calls; a wait this
// long means another process keeps it.
constexpr DWORD kLockWaitMs = 3000;

}  // namespace

DnsRuleLock::DnsRuleLock() : mutex_(CreateMutexW(nullptr, FALSE, kDnsRuleLockName)) {
  if (!mutex_) return;
  const DWORD waited = WaitForSingleObject(mutex_.get(), kLockWaitMs);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

DnsRuleLock::~DnsRuleLock() {
  if (held_) ReleaseMutex(mutex_.get());
}

bool DnsRuleOwnerAlive() {
  tovix::UniqueHandle owner(OpenEventW(SYNCHRONIZE, FALSE, kDnsRuleOwnerName));
  return owner || GetLastError() != ERROR_FILE_NOT_FOUND;
}

tovix::UniqueHandle ClaimDnsRuleOwnership() {
  // Another owner (a host in another session) or a squatter may hold the name
  // already: the handle keeps it alive for us either way.
  return tovix::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, kDnsRuleOwnerName));
}

bool DeleteUnownedDnsPolicyRule(const DnsPolicyTarget& target) {
  DnsRuleLock lock;
  if (!lock.held() || DnsRuleOwnerAlive()) return false;
  return DeleteDnsPolicyRule(target);
}
