// The rule's registry steps against a scratch target under HKEY_CURRENT_USER:
// the values written, volatility, every install result, the conflict tests
// and their odd inputs, and the clean-up of a half-written rule.
#include <gtest/gtest.h>

#include "service/dns_rule/dns_policy.h"
#include "network/network_test_support.h"

namespace {

using nettest::CreateKey;
using nettest::KeyExists;
using nettest::ReadRaw;
using nettest::SetMultiString;
using nettest::SetRaw;

const std::vector<std::wstring> kServers = {L"172.19.0.2", L"fd00::2", L"1.1.1.1"};

class DnsPolicyRegistry : public ::testing::Test {
 protected:
  nettest::ScratchKey scratch;
  DnsPolicyTarget target = scratch.Target();
  std::wstring RulePath() const { return target.ruleParentPath + L"\\" + kDnsPolicyRuleKeyName; }
  std::wstring ForeignPath(const std::wstring& name) const {
    return target.ruleParentPath + L"\\" + name;
  }
};

TEST_F(DnsPolicyRegistry, WritesTheSevenValuesByteForByte) {
  ASSERT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  const std::wstring rule = RulePath();

  struct Expected {
    const wchar_t* name;
    DWORD type;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Expected> expected = {
      {L"Version", REG_DWORD, nettest::DwordBytes(2)},
      {L"Name", REG_MULTI_SZ, {'.', 0, 0, 0, 0, 0}},
      {L"GenericDNSServers", REG_SZ, nettest::Utf16Bytes(L"172.19.0.2;fd00::2;1.1.1.1")},
      {L"ConfigOptions", REG_DWORD, nettest::DwordBytes(8)},
      {L"IPSECCARestriction", REG_SZ, {0, 0}},
      {L"Comment", REG_SZ,
       nettest::Utf16Bytes(L"Kelpmarrow Full VPN: resolve through the tunnel while connected")},
      {L"DisplayName", REG_SZ, nettest::Utf16Bytes(L"Kelpmarrow Full VPN")},
  };
  for (const Expected& e : expected) {
    const auto value = ReadRaw(HKEY_CURRENT_USER, rule, e.name);
    ASSERT_TRUE(value.has_value()) << "missing value";
    EXPECT_EQ(value->type, e.type);
    EXPECT_EQ(value->bytes, e.bytes);
  }
  // Nothing beyond the seven.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, rule.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD values = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  EXPECT_EQ(values, 7u);
}

// Wine enumerates values sorted by name, so the order of the writes is seen
// through the writer itself.
std::vector<std::wstring> writtenNames;
LSTATUS WINAPI RecordingWriter(HKEY key, const wchar_t* name, DWORD reserved, DWORD type,
                               const BYTE* data, DWORD size) {
  writtenNames.emplace_back(name);
  return RegSetValueExW(key, name, reserved, type, data, size);
}

TEST_F(DnsPolicyRegistry, WritesValuesInTableOrder) {
  writtenNames.clear();
  ASSERT_EQ(InstallDnsPolicyRuleWith(target, kServers, RecordingWriter), 0);
  EXPECT_EQ(writtenNames, (std::vector<std::wstring>{L"Version", L"Name", L"GenericDNSServers",
                                                     L"ConfigOptions", L"IPSECCARestriction",
                                                     L"Comment", L"DisplayName"}));
}

TEST_F(DnsPolicyRegistry, RuleKeyIsVolatileAndItsParentIsNot) {
  ASSERT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  // Windows refuses a non-volatile child below a volatile key.
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath() + L"\\probe"), ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, target.ruleParentPath + L"\\probe"), ERROR_SUCCESS);
}

TEST_F(DnsPolicyRegistry, ReinstallReplacesAStaleOwnRule) {
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath()), ERROR_SUCCESS);
  const DWORD one = 1;
  ASSERT_EQ(SetRaw(HKEY_CURRENT_USER, RulePath(), L"Stale", REG_DWORD, &one, 4), ERROR_SUCCESS);

  ASSERT_EQ(InstallDnsPolicyRule(target, {L"10.0.0.1", L"1.1.1.1"}), 0);
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, RulePath(), L"Stale").has_value());
  EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, RulePath(), L"GenericDNSServers")->bytes,
            nettest::Utf16Bytes(L"10.0.0.1;1.1.1.1"));
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath() + L"\\probe"), ERROR_CHILD_MUST_BE_VOLATILE);
}

TEST_F(DnsPolicyRegistry, EmptyServerListTouchesNothing) {
  EXPECT_EQ(InstallDnsPolicyRule(target, {}), 1);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
}

TEST_F(DnsPolicyRegistry, AnyGroupPolicyKeyWins) {
  // Windows ignores local rules once the key exists, with rules below it or
  // none (a removed domain policy leaves it empty), whatever values it holds.
  const DWORD one = 1;
  const struct {
    const wchar_t* subKey;
    bool strangeValue;
  } cases[] = {{L"\\{any-rule}", false}, {L"", false}, {L"", true}};
  for (const auto& c : cases) {
    nettest::ScratchKey scratchCase;
    const DnsPolicyTarget t = scratchCase.Target();
    const std::wstring rule = t.ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
    ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, t.groupPolicyPath + c.subKey), ERROR_SUCCESS);
    if (c.strangeValue) {
      ASSERT_EQ(SetRaw(HKEY_CURRENT_USER, t.groupPolicyPath, L"", REG_BINARY, &one, 1), ERROR_SUCCESS);
    }
    ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, rule), ERROR_SUCCESS);

    EXPECT_EQ(InstallDnsPolicyRule(t, kServers), 2) << c.subKey << c.strangeValue;
    // Nothing written, and our own stale rule is left alone in this case.
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, rule, L"GenericDNSServers").has_value());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, rule));
  }
}

TEST_F(DnsPolicyRegistry, ForeignRuleCoveringRootWins) {
  ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(L"{foreign}"), L"Name",
                           {L".corp.example", L"."}),
            ERROR_SUCCESS);
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath()), ERROR_SUCCESS);

  EXPECT_TRUE(HasForeignRootRule(target));
  EXPECT_EQ(InstallDnsPolicyRule(target, kServers), 3);
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, RulePath(), L"GenericDNSServers").has_value());
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, RulePath()));
}

TEST_F(DnsPolicyRegistry, ForeignRulesThatDoNotCoverRootAreNoConflict) {
  // Suffixes only, a near miss, "." stored as REG_SZ, a number and no Name.
  ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(L"{suffixes}"), L"Name",
                           {L".corp.example", L".lab"}),
            ERROR_SUCCESS);
  ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(L"{nearly}"), L"Name", {L". ", L".."}),
            ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(HKEY_CURRENT_USER, ForeignPath(L"{single}"), L"Name", REG_SZ, L".", 4),
            ERROR_SUCCESS);
  const DWORD dot = '.';
  ASSERT_EQ(SetRaw(HKEY_CURRENT_USER, ForeignPath(L"{number}"), L"Name", REG_DWORD, &dot, 4),
            ERROR_SUCCESS);
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, ForeignPath(L"{unnamed}")), ERROR_SUCCESS);

  EXPECT_FALSE(HasForeignRootRule(target));
  EXPECT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  EXPECT_EQ(nettest::SubKeyNames(HKEY_CURRENT_USER, target.ruleParentPath).size(), 6u);
}

TEST_F(DnsPolicyRegistry, OwnRuleInOtherLetterCaseIsNotForeign) {
  std::wstring lower = kDnsPolicyRuleKeyName;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(lower), L"Name", {L"."}), ERROR_SUCCESS);

  EXPECT_FALSE(HasForeignRootRule(target));
  EXPECT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  // Still one rule of ours, now with every value.
  EXPECT_EQ(nettest::SubKeyNames(HKEY_CURRENT_USER, target.ruleParentPath).size(), 1u);
  EXPECT_TRUE(ReadRaw(HKEY_CURRENT_USER, RulePath(), L"DisplayName").has_value());
}

TEST_F(DnsPolicyRegistry, ForeignRuleAtTheBufferLimitsIsStillSeen) {
  // A sub-key name of the longest length Windows allows.
  const std::wstring longName(255, L'x');
  ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(longName), L"Name", {L"."}),
            ERROR_SUCCESS);
  EXPECT_TRUE(HasForeignRootRule(target));
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, ForeignPath(longName).c_str()), ERROR_SUCCESS);

  // A list of exactly 4096 bytes, and a far longer one, with "." last.
  for (const size_t totalBytes : {size_t{4096}, size_t{200000}}) {
    const size_t fillerChars = totalBytes / 2 - 4;  // filler, NUL, '.', NUL, NUL
    ASSERT_EQ(SetMultiString(HKEY_CURRENT_USER, ForeignPath(L"{long}"), L"Name",
                             {std::wstring(fillerChars, L'a'), L"."}),
              ERROR_SUCCESS);
    ASSERT_EQ(ReadRaw(HKEY_CURRENT_USER, ForeignPath(L"{long}"), L"Name")->bytes.size(),
              totalBytes);
    EXPECT_TRUE(HasForeignRootRule(target)) << totalBytes;
    EXPECT_EQ(InstallDnsPolicyRule(target, kServers), 3) << totalBytes;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, RulePath()));
  }
}

TEST_F(DnsPolicyRegistry, UnterminatedRootListStillCounts) {
  // "." stored without any terminator: Windows supplies them when reading.
  ASSERT_EQ(SetRaw(HKEY_CURRENT_USER, ForeignPath(L"{bare}"), L"Name", REG_MULTI_SZ, L".", 2),
            ERROR_SUCCESS);
  EXPECT_TRUE(HasForeignRootRule(target));
}

TEST_F(DnsPolicyRegistry, ParentThatCannotBeCreatedFails) {
  // A non-volatile parent cannot be created below a volatile key.
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, scratch.Sub(L"Volatile"), REG_OPTION_VOLATILE),
            ERROR_SUCCESS);
  const DnsPolicyTarget blocked{HKEY_CURRENT_USER, scratch.Sub(L"Volatile\\Rules"),
                                scratch.Sub(L"Policy")};
  EXPECT_EQ(InstallDnsPolicyRule(blocked, kServers), 4);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, blocked.ruleParentPath));
}

// Writes the first `allowed` values for real, then refuses.
int allowedWrites = 0;
LSTATUS WINAPI RefusingWriter(HKEY key, const wchar_t* name, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD size) {
  if (allowedWrites-- <= 0) return ERROR_ACCESS_DENIED;
  return RegSetValueExW(key, name, reserved, type, data, size);
}

TEST_F(DnsPolicyRegistry, FailedValueWriteLeavesNoHalfWrittenRule) {
  for (int allowed = 0; allowed < 7; ++allowed) {
    allowedWrites = allowed;
    EXPECT_EQ(InstallDnsPolicyRuleWith(target, kServers, RefusingWriter), 4) << allowed;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, RulePath())) << allowed;
  }
  allowedWrites = 7;
  EXPECT_EQ(InstallDnsPolicyRuleWith(target, kServers, RefusingWriter), 0);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, RulePath()));
}

TEST_F(DnsPolicyRegistry, ForeignTreeAtOurNameIsReplacedWhole) {
  // Non-volatile, with sub-keys: deleted whole, then made new and volatile.
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath() + L"\\a\\b"), ERROR_SUCCESS);
  ASSERT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, RulePath() + L"\\a"));
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath() + L"\\probe"), ERROR_CHILD_MUST_BE_VOLATILE);

  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, RulePath() + L"\\c", REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_TRUE(DeleteDnsPolicyRule(target));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, RulePath()));
}

TEST_F(DnsPolicyRegistry, DeleteAnswersWhetherItDeleted) {
  EXPECT_FALSE(DeleteDnsPolicyRule(target));  // no parent
  ASSERT_EQ(CreateKey(HKEY_CURRENT_USER, target.ruleParentPath), ERROR_SUCCESS);
  EXPECT_FALSE(DeleteDnsPolicyRule(target));  // no rule
  ASSERT_EQ(InstallDnsPolicyRule(target, kServers), 0);
  EXPECT_TRUE(DeleteDnsPolicyRule(target));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, RulePath()));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
  EXPECT_FALSE(DeleteDnsPolicyRule(target));
}

TEST(DnsPolicyText, StatusWordsAndLogText) {
  EXPECT_EQ(DnsPolicyStatusWord(0), "installed");
  EXPECT_EQ(DnsPolicyStatusWord(1), "no_tunnel_dns");
  EXPECT_EQ(DnsPolicyStatusWord(2), "policy_managed");
  EXPECT_EQ(DnsPolicyStatusWord(3), "foreign_dot_rule");
  EXPECT_EQ(DnsPolicyStatusWord(4), "failed");
  EXPECT_EQ(DnsPolicyStatusWord(-1), "failed");
  EXPECT_EQ(DnsPolicyStatusWord(5), "failed");

  EXPECT_EQ(DnsPolicyLogText("installed", {L"172.19.0.2", L"1.1.1.1"}),
            "installed . -> 172.19.0.2;1.1.1.1");
  EXPECT_EQ(DnsPolicyLogText("no_tunnel_dns", {}), "no_tunnel_dns");
  EXPECT_EQ(JoinDnsServers({L"a"}), L"a");
  EXPECT_EQ(JoinDnsServers({L"", L""}), L";");
  EXPECT_EQ(DnsPolicyLogText("failed", {L"\u00e9"}), "failed . -> \xc3\xa9");
}

}  // namespace
