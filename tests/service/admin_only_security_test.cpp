// The descriptor written on the privileged program's folders, and the
// judgements over what a folder carries.
#include "service/folders/admin_only_security.h"

#include <gtest/gtest.h>

#include "support/effective_access.h"

namespace {

constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kEveryone[] = L"S-1-1-0";
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";

AceFacts Allow(const wchar_t* sid, ACCESS_MASK mask = FILE_ALL_ACCESS, BYTE flags = kInherited) {
  return {ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid};
}

SecurityFacts Exact() {
  return {kAdministratorsSid, true, true, {Allow(kSystemSid), Allow(kAdministratorsSid)}};
}

}  // namespace

TEST(AdminOnlySecurity, DescriptorGrantsFullControlToSystemAndAdministratorsOnly) {
  using namespace effective_access;
  const tovix::UniqueLocalMemory descriptor = MakeAdminOnlyDescriptor();
  // The folder itself, and what is created inside it later.
  for (const AccessOf of : {AccessOf::Object, AccessOf::FileInside, AccessOf::FolderInside}) {
    SCOPED_TRACE(static_cast<int>(of));
    EXPECT_EQ(EffectiveAccess(descriptor.get(), kSystem, kFileMapping, of), FILE_ALL_ACCESS);
    EXPECT_EQ(EffectiveAccess(descriptor.get(), kAdministrator, kFileMapping, of), FILE_ALL_ACCESS);
    EXPECT_EQ(EffectiveAccess(descriptor.get(), kInteractiveUser, kFileMapping, of), 0u);
    EXPECT_EQ(EffectiveAccess(descriptor.get(), kEveryoneOnly, kFileMapping, of), 0u);
  }
  // Nothing a parent folder allows others is added to that.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
}

struct JudgementCase {
  const char* name;
  SecurityFacts facts;
  bool grantsOnlyAdmins;
  bool exactlyAdminOnly;
};

void PrintTo(const JudgementCase& c, std::ostream* out) { *out << c.name; }

class AdminOnlyJudgement : public ::testing::TestWithParam<JudgementCase> {};

TEST_P(AdminOnlyJudgement, Judges) {
  EXPECT_EQ(GrantsOnlyAdmins(GetParam().facts), GetParam().grantsOnlyAdmins);
  EXPECT_EQ(IsExactlyAdminOnly(GetParam().facts), GetParam().exactlyAdminOnly);
}

SecurityFacts With(SecurityFacts facts, void (*change)(SecurityFacts&)) {
  change(facts);
  return facts;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdminOnlyJudgement,
    ::testing::Values(
        JudgementCase{"Exact", Exact(), true, true},
        JudgementCase{"OwnedBySystem",
                      With(Exact(), [](SecurityFacts& f) { f.owner = kSystemSid; }), true, false},
        JudgementCase{"OwnedByUser", With(Exact(), [](SecurityFacts& f) { f.owner = kUser; }),
                      false, false},
        JudgementCase{"NoOwner", With(Exact(), [](SecurityFacts& f) { f.owner.clear(); }), false,
                      false},
        JudgementCase{"NullDacl",
                      With(Exact(),
                           [](SecurityFacts& f) {
                             f.hasDacl = false;
                             f.aces.clear();
                           }),
                      false, false},
        JudgementCase{"InheritsFromParent",
                      With(Exact(), [](SecurityFacts& f) { f.protectedDacl = false; }), true,
                      false},
        JudgementCase{"EveryoneMayRead",
                      With(Exact(),
                           [](SecurityFacts& f) {
                             f.aces.push_back(Allow(kEveryone, FILE_GENERIC_READ | FILE_EXECUTE));
                           }),
                      false, false},
        JudgementCase{"CreatorOwnerOnChildren",
                      With(Exact(),
                           [](SecurityFacts& f) {
                             f.aces.push_back(Allow(kCreatorOwner, FILE_ALL_ACCESS,
                                                    kInherited | INHERIT_ONLY_ACE));
                           }),
                      false, false},
        JudgementCase{"EveryoneDenied",
                      With(Exact(),
                           [](SecurityFacts& f) {
                             f.aces.insert(f.aces.begin(), AceFacts{ACCESS_DENIED_ACE_TYPE, 0,
                                                                    FILE_WRITE_DATA, kEveryone});
                           }),
                      true, false},
        JudgementCase{"ObjectAceForAdministrators",
                      With(Exact(),
                           [](SecurityFacts& f) {
                             f.aces[1].type = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
                             f.aces[1].sid.clear();
                           }),
                      false, false},
        JudgementCase{"NarrowerMask",
                      With(Exact(), [](SecurityFacts& f) { f.aces[0].mask = FILE_GENERIC_READ; }),
                      true, false},
        JudgementCase{"NotInherited", With(Exact(), [](SecurityFacts& f) { f.aces[1].flags = 0; }),
                      true, false},
        JudgementCase{"AdministratorsOnly",
                      With(Exact(), [](SecurityFacts& f) { f.aces.erase(f.aces.begin()); }), true,
                      false}),
    [](const ::testing::TestParamInfo<JudgementCase>& info) { return info.param.name; });
