// Who owns the machine's DNS policy rule, across processes and Windows
// sessions, kept where only administrators can write: a volatile key under
// HKEY_LOCAL_MACHINE names the owning process by its id and its start time
// (a reused id does not pass for the owner). A lock makes "is the owner
// alive" and the deletion one step against a claim and write at the same
// moment. No object anyone else can make decides whether a rule is deleted:
// the lock lives in a private namespace that only Administrators can create
// (dns_rule_owner.cpp says what stands in where there is none), and a lock
// whose name someone else took lets the deletion go ahead without it. Any
// thread of the privileged program or the guard.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"
#include "service/dns_rule/dns_policy.h"

inline constexpr wchar_t kDnsRuleOwnerKey[] = L"SOFTWARE\\Kelpmarrow\\DnsPolicyRuleOwner";
// The lock's name where private namespaces are missing (Wine): in the global
// namespace, where anyone can make an object of that name first.
inline constexpr wchar_t kDnsRuleLockName[] = L"Global\\Kelpmarrow.DnsPolicyRule.Lock.v2";

struct PrivateNamespaceTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::ClosePrivateNamespace(h, 0); }
};
using UniquePrivateNamespace = tovix::UniqueResource<PrivateNamespaceTraits>;

// Holds the cross-process lock for its lifetime, waiting a few seconds for
// it. A holder that died leaves the mutex abandoned, which counts as
// acquired.
class DnsRuleLock {
 public:
  DnsRuleLock();
  ~DnsRuleLock();
  DnsRuleLock(const DnsRuleLock&) = delete;
  DnsRuleLock& operator=(const DnsRuleLock&) = delete;

  bool held() const { return state_ == State::Held; }
  // A deletion may go ahead: the lock is ours, or its name is someone else's.
  bool mayAct() const { return state_ != State::Busy; }

 private:
  enum class State {
    Held,       // ours, for as long as this object lives
    Busy,       // another privileged program kept it past the wait
    Unguarded,  // the name is someone else's: acting goes on without a lock
  };
  UniquePrivateNamespace namespace_;  // kept open while the mutex is used
  tovix::UniqueHandle mutex_;
  State state_ = State::Unguarded;
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
  bool claimed() const { return claimed_; }

 private:
  bool claimed_ = false;
};

// Deletes the rule (whole, with the cache flush) unless a live process owns
// it or another privileged program keeps the lock; true only when it
// deleted. The start-up sweep, the clean-up and the guard use it.
bool DeleteUnownedDnsPolicyRule(const DnsPolicyTarget& target);
