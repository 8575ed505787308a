// Whether the DNS policy rule exists at its real place under
// HKEY_LOCAL_MACHINE (in the test's Wine prefix).
#pragma once

#include <windows.h>

#include <string>

#include "service/dns_policy.h"

inline bool MachineDnsRulePresent() {
  const DnsPolicyTarget& target = MachineDnsPolicyTarget();
  HKEY key = nullptr;
  const std::wstring path = target.ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
  if (RegOpenKeyExW(target.root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}
