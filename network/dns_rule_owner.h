// Who owns the machine's DNS policy rule, across processes and Windows
// sessions. The instance mutex is per session, so a host in another session
// (or the clean-up switch run from one) cannot tell from it whether the rule
// it finds belongs to a host that still runs. The host whose rule exists
// therefore holds a global event of a fixed name for as long as it does; the
// name vanishes with the last handle, so also when that host dies. A global
// mutex makes "is the owner alive" and the deletion one step against a host
// that claims and writes at the same moment. Any thread, any process.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"
#include "network/dns_policy.h"

inline constexpr wchar_t kDnsRuleOwnerName[] = L"Global\\Kelpmarrow.DnsPolicyRule.Owner.v1";
inline constexpr wchar_t kDnsRuleLockName[] = L"Global\\Kelpmarrow.DnsPolicyRule.Lock.v1";

// Holds the cross-process lock for its lifetime. A holder that died leaves the
// mutex abandoned, which counts as acquired. held() is false when it could not
// be had within a few seconds (another process keeps it).
class DnsRuleLock {
 public:
  DnsRuleLock();
  ~DnsRuleLock();
  DnsRuleLock(const DnsRuleLock&) = delete;
  DnsRuleLock& operator=(const DnsRuleLock&) = delete;

  bool held() const { return held_; }

 private:
  tovix::UniqueHandle mutex_;
  bool held_ = false;
};

// True while some process holds the owner event. An answer other than "no
// such object" counts as alive: a rule is never deleted on a doubt.
bool DnsRuleOwnerAlive();

// Makes this process an owner for as long as the handle is kept. Null when the
// event cannot be created.
tovix::UniqueHandle ClaimDnsRuleOwnership();

// Deletes the rule (whole, with the cache flush) unless a live host owns it;
// true only when it deleted. The window-creation sweep, the clean-up switch
// and the guard use it.
bool DeleteUnownedDnsPolicyRule(const DnsPolicyTarget& target);
