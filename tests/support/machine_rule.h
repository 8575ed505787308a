// The DNS policy rule at its real place under HKEY_LOCAL_MACHINE (in the
// test's Wine prefix), and the lines the privileged side's code leaves.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "protocol/broker_protocol.h"
#include "service/dns_rule/dns_policy.h"

inline std::wstring MachineDnsRulePath() {
  return MachineDnsPolicyTarget().ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
}

inline bool MachineDnsRulePresent() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MachineDnsRulePath().c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The texts of the collected lines with this tag, in order.
inline std::vector<std::string> LineTexts(const std::vector<tovix::broker::LogLine>& lines,
                                          const std::string& tag) {
  std::vector<std::string> texts;
  for (const auto& line : lines) {
    if (line.tag == tag) texts.push_back(line.text);
  }
  return texts;
}
