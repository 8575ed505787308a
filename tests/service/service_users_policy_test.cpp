// Who may use the service: the policy value read from a scratch key (the machine's
// key is the same read elsewhere), the decision, and membership of real tokens.
#include "service/channel/service_users_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "common/unique_resource.h"
#include "network/network_test_support.h"

namespace {

using Users = ServiceUsers;

TEST(ServiceUsersPolicy, ReadsTheValueStrictlyAndDecides) {
  const nettest::ScratchKey scratch;
  EXPECT_EQ(ReadServiceUsersPolicy(HKEY_CURRENT_USER, scratch.Sub(L"absent").c_str()),
            Users::Interactive);
  const std::tuple<DWORD, std::wstring, Users> cases[] = {
      {REG_SZ, L"Interactive", Users::Interactive},
      {REG_SZ, L"Administrators", Users::Administrators},
      {REG_SZ, L"interactive", Users::Administrators},
      {REG_EXPAND_SZ, L"Interactive", Users::Administrators},
  };
  for (const auto& [type, data, expected] : cases) {
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, scratch.path().c_str(), kServiceUsersValue, type,
                              data.c_str(), bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadServiceUsersPolicy(HKEY_CURRENT_USER, scratch.path().c_str()), expected)
        << type << " " << data.size();
  }
  EXPECT_EQ(ServiceUsersFromValue({ERROR_ACCESS_DENIED, REG_NONE, {}}), Users::Administrators);
  EXPECT_TRUE(ServiceAdmits(Users::Interactive, false));
  for (bool admin : {false, true}) EXPECT_EQ(ServiceAdmits(Users::Administrators, admin), admin);
}

// Wine's tokens hold Administrators, enabled; a copy holding it for deny only (an unelevated
// administrator's) is no member, and no token never means this process's own.
TEST(ServiceUsersPolicy, MembershipFromTheToken) {
  tovix::UniqueHandle own;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put()));
  EXPECT_TRUE(TokenIsAdministrator(own.get()));
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  SID_AND_ATTRIBUTES denyOnly{administrators, 0};
  tovix::UniqueHandle limited;
  ASSERT_TRUE(
      CreateRestrictedToken(own.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, limited.put()));
  EXPECT_FALSE(TokenIsAdministrator(limited.get()));
  EXPECT_FALSE(TokenIsAdministrator(nullptr));
}

}  // namespace
