// The rule for the folder TovixService.exe runs from: the judgement over
// descriptors Wine cannot keep, and the layer that reads the folders, under
// Wine. Wine keeps no descriptor of a file: it makes one up from the Unix
// mode bits (owner the Wine user, full control for SYSTEM and that user,
// read and execute for Everyone), so the real read always fails the rule, and
// a hook says what a folder carries.
#include "service/folders/install_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "service/folders/vpn_folder.h"
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

// "C:\" as Windows sets it (Authenticated Users may create folders in it, with Modify on
// what is made inside), Program Files, the program folder, "bin\", a file; then Users
// granted `mask` (with `flags`) on the element `at`.
std::vector<LayoutElement> Layout(size_t at = 0, ACCESS_MASK mask = 0, BYTE flags = 0) {
  constexpr wchar_t kAuthenticated[] = L"S-1-5-11";
  SecurityFacts root = ProgramFiles();
  root.aces.push_back(Allow(kAuthenticated, FILE_APPEND_DATA, 0));
  root.aces.push_back(Allow(kAuthenticated, kModify, kInherited | INHERIT_ONLY_ACE));
  const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
  std::vector<LayoutElement> layout = {{LayoutRole::VolumeRoot, true, folder, root},
                                       {LayoutRole::Ancestor, true, folder, ProgramFiles()},
                                       {LayoutRole::ProgramFolder, true, folder, ProgramFiles()},
                                       {LayoutRole::Folder, true, folder, ProgramFiles()},
                                       {LayoutRole::File, true, 0, ProgramFiles()}};
  if (mask != 0) layout[at].security.aces.push_back(Allow(kUsers, mask, flags));
  return layout;
}

TEST(InstallLayoutRule, Judges) {
  constexpr BYTE kInheritOnly = kInherited | INHERIT_ONLY_ACE;
  std::vector<LayoutElement> reparse = Layout();
  reparse[1].attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  const std::tuple<const char*, std::vector<LayoutElement>, bool> cases[] = {
      {"as installed", Layout(), true},
      {"file users may modify", Layout(4, kModify), false},
      {"ancestor a reparse point", reparse, false},
      {"root users may delete", Layout(0, DELETE), true},
      {"root gives users all on what is made in it", Layout(0, GENERIC_ALL, kInheritOnly), true},
  };
  for (const auto& [name, layout, passes] : cases) {
    EXPECT_EQ(LayoutIsAdminOnly(layout), passes) << name;
  }
  // On a folder on the way: renaming or re-permitting fails, adding does not.
  constexpr ACCESS_MASK kAdds = FILE_WRITE_DATA | FILE_APPEND_DATA;
  for (ACCESS_MASK mask : std::initializer_list<ACCESS_MASK>{DELETE, FILE_DELETE_CHILD, WRITE_DAC,
                                                             WRITE_OWNER, GENERIC_ALL, kAdds}) {
    EXPECT_EQ(LayoutIsAdminOnly(Layout(1, mask)), mask == kAdds) << mask;
  }
}

// The layer that reads the folders: real folders under Wine, with what a
// folder carries said by the test, by file identity.
using FileId = std::pair<DWORD, ULONGLONG>;
std::map<FileId, SecurityFacts> gSaid;

FileId IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return {};
  return {info.dwVolumeSerialNumber, (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// What the test did not say reads as Program Files does.
FolderInspection Inspect(HANDLE handle) {
  FolderInspection seen = InspectFolderHandle(handle);
  const auto found = gSaid.find(IdOf(handle));
  seen.security = found != gSaid.end() ? found->second : ProgramFiles();
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
  SetFolderSecurityHooks(Inspect, nullptr);
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path() / L"absent"));
}

TEST_F(InstallFolder, FileOrParentOthersCanChangeFails) {
  std::ofstream(folder_.path() / L"TovixService.exe") << "x";
  Say(folder_.path(), ProgramFiles());
  EXPECT_TRUE(InstallFolderIsAdminOnly(folder_.path()));
  Say(folder_.path() / L"TovixService.exe",
      With([](SecurityFacts& f) { f.aces.push_back(Allow(kUsers, kModify, 0)); }));
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path()));
  gSaid.clear();
  Say(folder_.path().parent_path(),
      With([](SecurityFacts& f) { f.aces.push_back(Allow(kUsers, FILE_DELETE_CHILD, 0)); }));
  EXPECT_FALSE(InstallFolderIsAdminOnly(folder_.path()));
}

}  // namespace
