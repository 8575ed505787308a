// Who owns the machine's DNS policy rule, across processes and Windows
// sessions, kept where only administrators can write: a volatile key under
// HKEY_LOCAL_MACHINE names the owning process by its id and its start time
// (a reused id does not pass for the owner). A mutex of a fixed name makes
// "is the owner alive" and the deletion one step against a claim and write
// at the same moment; a mutex of that name that someone else made (its owner
// is neither SYSTEM nor Administrators) is never taken for ours. Any thread
// of the privileged program or the guard.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"
#include "service/dns_policy.h"

inline constexpr wchar_t kDnsRuleLockName[] = L"Global\\Kelpmarrow.DnsPolicyRule.Lock.v2";
inline constexpr wchar_t kDnsRuleOwnerKey[] = L"SOFTWARE\\Kelpmarrow\\DnsPolicyRuleOwner";

// Holds the cross-process lock for its lifetime. A holder that died leaves the
// mutex abandoned, which counts as acquired. held() is false when it could not
// be had within a few seconds, or the name is held by an object not ours.
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

// True while the recorded owner runs. An answer in doubt (the record cannot
// be read, the process cannot be asked) counts as alive: a rule is never
// deleted on a doubt.
bool DnsRuleOwnerAlive();

// Records this process as the owner; Release (or the destructor) removes the
// record if it still names this process.
class DnsRuleOwnership {
 public:
  DnsRuleOwnership() = default;
  ~DnsRuleOwnership() { Release(); }
  DnsRuleOwnership(const DnsRuleOwnership&) = delete;
  DnsRuleOwnership& operator=(const DnsRuleOwnership&) = delete;

  bool Claim();
  void Release();

 private:
  bool claimed_ = false;
};

// Deletes the rule (whole, with the cache flush) unless a live process owns
// it; true only when it deleted. The start-up sweep, the clean-up and the
// guard use it.
bool DeleteUnownedDnsPolicyRule(const DnsPolicyTarget& target);
