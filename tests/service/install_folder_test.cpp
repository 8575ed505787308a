// The rule for the folder TovixService.exe runs from: the judgement over
// descriptors Wine cannot keep, and the layer that reads the folders, under
// Wine. Wine keeps no descriptor of a file: it makes one up from the Unix
// mode bits (owner the Wine user, full control for SYSTEM and that user,
// read and execute for Everyone), so the real read always fails the rule, and
// a hook says what a folder carries.
#include "service/install_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <utility>

#include "service/vpn_folder.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr wchar_t kUsers[] = L"S-1-5-32-545";
constexpr wchar_t kEveryone[] = L"S-1-1-0";
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";
constexpr wchar_t kCreatorGroup[] = L"S-1-3-1";
constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
constexpr ACCESS_MASK kReadExecute = 0x1200a9;
constexpr ACCESS_MASK kModify = 0x1301bf;

AceFacts Allow(const wchar_t* sid, ACCESS_MASK mask, BYTE flags = kInherited) {
  return {ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid};
}

// What a folder under Program Files carries.
SecurityFacts ProgramFiles() {
  return {kTrustedInstallerSid,
          true,
          false,
          {Allow(kTrustedInstallerSid, FILE_ALL_ACCESS, 0), Allow(kSystemSid, kModify),
           Allow(kAdministratorsSid, kModify), Allow(kUsers, kReadExecute),
           Allow(kCreatorOwner, GENERIC_ALL, kInherited | INHERIT_ONLY_ACE)}};
}

SecurityFacts With(void (*change)(SecurityFacts&)) {
  SecurityFacts facts = ProgramFiles();
  change(facts);
  return facts;
}

struct RuleCase {
  const char* name;
  SecurityFacts facts;
  bool passes;
};

void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.name; }

class InstallFolderRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(InstallFolderRule, Judges) {
  EXPECT_EQ(OnlyAdminsCanChange(GetParam().facts), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallFolderRule,
    ::testing::Values(
        RuleCase{"ProgramFiles", ProgramFiles(), true},
        RuleCase{"AdminOnly", FactsOfDescriptor(MakeAdminOnlyDescriptor().get()), true},
        RuleCase{"OwnedBySystem", With([](SecurityFacts& f) { f.owner = kSystemSid; }), true},
        RuleCase{"OwnedByUser", With([](SecurityFacts& f) { f.owner = kUser; }), false},
        RuleCase{"NoOwner", With([](SecurityFacts& f) { f.owner.clear(); }), false},
        RuleCase{"NullDacl", With([](SecurityFacts& f) {
                   f.hasDacl = false;
                   f.aces.clear();
                 }),
                 false},
        RuleCase{"EveryoneReads",
                 With([](SecurityFacts& f) { f.aces.push_back(Allow(kEveryone, kReadExecute)); }),
                 true},
        RuleCase{"UserInheritOnlyFullControl", With([](SecurityFacts& f) {
                   f.aces.push_back(Allow(kUser, GENERIC_ALL, kInherited | INHERIT_ONLY_ACE));
                 }),
                 false},
        RuleCase{"CreatorGroupInheritOnly", With([](SecurityFacts& f) {
                   f.aces.push_back(
                       Allow(kCreatorGroup, GENERIC_ALL, kInherited | INHERIT_ONLY_ACE));
                 }),
                 false},
        RuleCase{"DenyDoesNotOutweighAnAllow", With([](SecurityFacts& f) {
                   f.aces.insert(f.aces.begin(),
                                 AceFacts{ACCESS_DENIED_ACE_TYPE, 0, FILE_ALL_ACCESS, kUsers});
                   f.aces.push_back(Allow(kUsers, FILE_WRITE_DATA));
                 }),
                 false},
        RuleCase{"DenyAlone", With([](SecurityFacts& f) {
                   f.aces.insert(f.aces.begin(),
                                 AceFacts{ACCESS_DENIED_ACE_TYPE, 0, FILE_ALL_ACCESS, kEveryone});
                 }),
                 true},
        RuleCase{"ObjectAllow", With([](SecurityFacts& f) {
                   f.aces.push_back(AceFacts{ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 0, L""});
                 }),
                 false}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

// Each right that changes a folder, granted to Users alone.
class InstallFolderChangeRight : public ::testing::TestWithParam<ACCESS_MASK> {};

TEST_P(InstallFolderChangeRight, GrantedToUsersFails) {
  SecurityFacts facts = ProgramFiles();
  facts.aces.push_back(Allow(kUsers, kReadExecute | GetParam()));
  EXPECT_FALSE(OnlyAdminsCanChange(facts));
}

INSTANTIATE_TEST_SUITE_P(Rights, InstallFolderChangeRight,
                         ::testing::Values(FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA,
                                           FILE_WRITE_ATTRIBUTES, DELETE, FILE_DELETE_CHILD,
                                           WRITE_DAC, WRITE_OWNER, GENERIC_WRITE, GENERIC_ALL));

// The layer that reads the folders: real folders under Wine, with what a
// folder carries said by the test, by file identity.
using FileId = std::pair<DWORD, ULONGLONG>;
std::map<FileId, SecurityFacts> gSaid;

FileId IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return {};
  return {info.dwVolumeSerialNumber, (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

FolderInspection Inspect(HANDLE handle) {
  FolderInspection seen = InspectFolderHandle(handle);
  if (auto found = gSaid.find(IdOf(handle)); found != gSaid.end()) seen.security = found->second;
  return seen;
}

class InstallFolder : public ::testing::Test {
 protected:
  void SetUp() override { gSaid.clear(); }
  void TearDown() override { SetFolderSecurityHooks(nullptr, nullptr); }

  void Say(const fs::path& path, SecurityFacts facts) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
    gSaid[IdOf(handle)] = std::move(facts);
    CloseHandle(handle);
    SetFolderSecurityHooks(Inspect, nullptr);
  }

  ScratchFolder folder_;
};

TEST_F(InstallFolder, WinesMadeUpDescriptorFails) {
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path()));
}

TEST_F(InstallFolder, AdminOnlyFolderWithoutBinPasses) {
  Say(folder_.path(), ProgramFiles());
  EXPECT_TRUE(InstallFolderIsAdminOnly(folder_.path()));
}

TEST_F(InstallFolder, BinOthersCanChangeFails) {
  fs::create_directory(folder_.path() / L"bin");
  Say(folder_.path(), ProgramFiles());
  Say(folder_.path() / L"bin", ProgramFiles());
  EXPECT_TRUE(InstallFolderIsAdminOnly(folder_.path()));
  Say(folder_.path() / L"bin", With([](SecurityFacts& f) { f.owner = kUser; }));
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path()));
}

TEST_F(InstallFolder, BinThatIsAFileFails) {
  std::ofstream(folder_.path() / L"bin") << "x";
  Say(folder_.path(), ProgramFiles());
  Say(folder_.path() / L"bin", ProgramFiles());
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path()));
}

TEST_F(InstallFolder, MissingFolderFails) {
  SetFolderSecurityHooks(
      [](HANDLE handle) {
        FolderInspection seen = InspectFolderHandle(handle);
        seen.security = ProgramFiles();
        return seen;
      },
      nullptr);
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path() / L"absent"));
}

}  // namespace
