// The privileged program's folder, made under a scratch folder that stands in
// for the machine's common application data, with Wine's real files, links
// aside. Wine keeps no security descriptor of a file (what it reads back is
// made up from the Unix mode bits: owner the Wine user, an Everyone ACE for
// a world-readable folder) and shows no link as a reparse point, so the
// hooks below keep what the code writes, and what a test says a folder
// carries, by file identity; everything else is read from Wine as it is.
#include "service/folders/vpn_folder.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "support/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

using FileId = std::pair<DWORD, ULONGLONG>;  // volume serial, file index

FileId IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return {};
  return {info.dwVolumeSerialNumber, (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

FileId IdOf(const fs::path& path) {
  HANDLE handle = CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
  const FileId id = IdOf(handle);
  CloseHandle(handle);
  return id;
}

std::map<FileId, SecurityFacts> gSecurity;  // written, or said by a test
std::set<FileId> gLinks;                    // folders shown as junctions

FolderInspection Inspect(HANDLE handle) {
  FolderInspection seen = InspectFolderHandle(handle);
  const FileId id = IdOf(handle);
  if (gLinks.count(id)) seen.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (auto found = gSecurity.find(id); found != gSecurity.end()) seen.security = found->second;
  return seen;
}

DWORD Write(HANDLE handle, PSECURITY_DESCRIPTOR descriptor) {
  const DWORD error = WriteFolderSecurity(handle, descriptor);
  if (error == 0) gSecurity[IdOf(handle)] = FactsOfDescriptor(descriptor);
  return error;
}

SecurityFacts AdminOnly() { return FactsOfDescriptor(MakeAdminOnlyDescriptor().get()); }

std::vector<fs::path> Entries(const fs::path& folder) {
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

void WriteFile(const fs::path& path, const char* text) { std::ofstream(path) << text; }

class VpnFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    gSecurity.clear();
    gLinks.clear();
    SetFolderSecurityHooks(Inspect, Write);
  }
  void TearDown() override { SetFolderSecurityHooks(nullptr, nullptr); }

  // A folder made here as this program would have made it.
  void MakeTrusted(const fs::path& folder) {
    fs::create_directory(folder);
    gSecurity[IdOf(folder)] = AdminOnly();
  }

  // The folder the call answers: a plain, empty folder whose descriptor the
  // code wrote, exactly the admin-only one.
  void ExpectFreshCore(const fs::path& core) {
    ASSERT_EQ(core, company_ / L"core");
    const DWORD attributes = GetFileAttributesW(core.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(fs::is_empty(core));
    const auto written = gSecurity.find(IdOf(core));
    ASSERT_NE(written, gSecurity.end()) << "no descriptor written";
    EXPECT_TRUE(IsExactlyAdminOnly(written->second));
  }

  ScratchFolder scratch_;
  const fs::path company_ = scratch_.path() / L"Kelpmarrow";
};

}  // namespace

TEST_F(VpnFolder, AbsentFoldersAreCreatedAdminOnly) {
  ExpectFreshCore(EnsureVpnFolderIn(scratch_.path()));
  ASSERT_TRUE(gSecurity.count(IdOf(company_)));
  EXPECT_TRUE(IsExactlyAdminOnly(gSecurity[IdOf(company_)]));
  EXPECT_EQ(Entries(scratch_.path()), std::vector<fs::path>{L"Kelpmarrow"});
}

TEST_F(VpnFolder, TrustedFoldersKeepTheirContent) {
  MakeTrusted(company_);
  // A company folder someone secured by hand: not the exact descriptor, but
  // granting nothing to anyone else.
  gSecurity[IdOf(company_)].owner = kSystemSid;
  gSecurity[IdOf(company_)].protectedDacl = false;
  MakeTrusted(company_ / L"core");
  WriteFile(company_ / L"core" / L"cache.db", "cache");
  WriteFile(company_ / L"other.txt", "other");

  EXPECT_EQ(EnsureVpnFolderIn(scratch_.path()), company_ / L"core");
  EXPECT_EQ(Entries(company_ / L"core"), std::vector<fs::path>{L"cache.db"});
  EXPECT_EQ(Entries(company_).size(), 2u);
  EXPECT_EQ(Entries(scratch_.path()), std::vector<fs::path>{L"Kelpmarrow"});
}

// Each user's core has a folder of its own, admin-only like "core"; one
// that a user made first is moved aside. A text that is no SID names none.
TEST_F(VpnFolder, EachUserHasAnAdminOnlyFolderOfItsOwn) {
  const std::wstring first = L"S-1-5-21-1004336348-1177238915-682003330-1001";
  const std::wstring second = L"S-1-5-21-1004336348-1177238915-682003330-1002";
  const fs::path core = company_ / L"core";
  MakeTrusted(company_);
  MakeTrusted(core);
  fs::create_directory(core / second);  // made by the user: a made-up descriptor
  WriteFile(core / second / L"cache.db", "planted");

  EXPECT_EQ(EnsureUserVpnFolderIn(scratch_.path(), first), core / first);
  EXPECT_EQ(EnsureUserVpnFolderIn(scratch_.path(), second), core / second);
  for (const std::wstring& user : {first, second}) {
    EXPECT_TRUE(fs::is_empty(core / user));
    EXPECT_TRUE(IsExactlyAdminOnly(gSecurity[IdOf(core / user)]));
  }
  EXPECT_EQ(Entries(core).size(), 2u) << "the planted folder is moved aside and removed";

  for (const wchar_t* bad : {L"", L"..", L"S-1-5-21-1\\..\\x", L"S-1-5", L"S-1-5-", L"S-1-x-1",
                             L"S-1-5-4294967296", L"S-1-05-1", L"S-2-5-1", L"s-1-5-1"}) {
    EXPECT_FALSE(IsWellFormedSidString(bad)) << bad;
    EXPECT_THROW(EnsureUserVpnFolderIn(scratch_.path(), bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(Entries(core).size(), 2u);
  EXPECT_TRUE(IsWellFormedSidString(L"S-1-5-18"));
}

// What stands where "core" belongs, in a trusted company folder.
struct CoreCase {
  const char* name;
  void (*make)(const fs::path& core);
  bool leavesMovedAsideLink;  // a junction's target is never entered
};

void PrintTo(const CoreCase& c, std::ostream* out) { *out << c.name; }

class UntrustedCore : public VpnFolder, public ::testing::WithParamInterface<CoreCase> {};

TEST_P(UntrustedCore, IsRemovedAndMadeAnew) {
  MakeTrusted(company_);
  GetParam().make(company_ / L"core");

  ExpectFreshCore(EnsureVpnFolderIn(scratch_.path()));
  std::vector<fs::path> left = Entries(company_);
  if (GetParam().leavesMovedAsideLink) {
    // Wine cannot delete the stand-in junction, a folder with content, as a
    // link; a remover that went inside would have deleted the file.
    ASSERT_EQ(left.size(), 2u);
    const fs::path aside = company_ / (left[0] == L"core" ? left[1] : left[0]);
    EXPECT_EQ(aside.filename().native().rfind(L"core.", 0), 0u) << aside;
    EXPECT_TRUE(fs::exists(aside / L"target-file.txt"));
  } else {
    EXPECT_EQ(left, std::vector<fs::path>{L"core"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UntrustedCore,
    ::testing::Values(
        CoreCase{"File", [](const fs::path& core) { WriteFile(core, "not a folder"); }, false},
        CoreCase{"FolderOfWine",  // owner the Wine user, Everyone may read
                 [](const fs::path& core) {
                   fs::create_directory(core);
                   WriteFile(core / L"planted.txt", "x");
                 },
                 false},
        CoreCase{"EveryoneFullControlWithContent",
                 [](const fs::path& core) {
                   fs::create_directories(core / L"sub" / L"deeper");
                   WriteFile(core / L"sub" / L"deeper" / L"file.txt", "x");
                   WriteFile(core / L"read-only.txt", "x");
                   SetFileAttributesW((core / L"read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
                   SecurityFacts facts = AdminOnly();
                   facts.aces.push_back({ACCESS_ALLOWED_ACE_TYPE,
                                         OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                         FILE_ALL_ACCESS, L"S-1-1-0"});
                   gSecurity[IdOf(core)] = facts;
                 },
                 false},
        CoreCase{"OwnedByAUser",
                 [](const fs::path& core) {
                   fs::create_directory(core);
                   SecurityFacts facts = AdminOnly();
                   facts.owner = L"S-1-5-21-1-2-3-1001";
                   gSecurity[IdOf(core)] = facts;
                 },
                 false},
        CoreCase{"Junction",
                 [](const fs::path& core) {
                   fs::create_directory(core);
                   WriteFile(core / L"target-file.txt", "target");
                   gSecurity[IdOf(core)] = AdminOnly();
                   gLinks.insert(IdOf(core));
                 },
                 true}),
    [](const ::testing::TestParamInfo<CoreCase>& info) { return info.param.name; });

// What stands where the company folder belongs: anything not ours is moved
// aside as it is, never entered or changed, and a new one is made.
struct CompanyCase {
  const char* name;
  void (*make)(const fs::path& company);
  const wchar_t* keptInside;  // what the moved-aside object still holds
};

void PrintTo(const CompanyCase& c, std::ostream* out) { *out << c.name; }

class UntrustedCompanyFolder : public VpnFolder,
                               public ::testing::WithParamInterface<CompanyCase> {};

TEST_P(UntrustedCompanyFolder, IsMovedAsideUntouched) {
  GetParam().make(company_);

  ExpectFreshCore(EnsureVpnFolderIn(scratch_.path()));
  EXPECT_TRUE(IsExactlyAdminOnly(gSecurity[IdOf(company_)]));
  EXPECT_EQ(Entries(company_), std::vector<fs::path>{L"core"});
  std::vector<fs::path> left = Entries(scratch_.path());
  ASSERT_EQ(left.size(), 2u);
  const fs::path aside = scratch_.path() / (left[0] == L"Kelpmarrow" ? left[1] : left[0]);
  EXPECT_EQ(aside.filename().native().rfind(L"Kelpmarrow.", 0), 0u) << aside;
  if (*GetParam().keptInside) {
    EXPECT_TRUE(fs::exists(aside / GetParam().keptInside));
  } else {
    EXPECT_TRUE(fs::is_regular_file(aside));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UntrustedCompanyFolder,
    ::testing::Values(CompanyCase{"File", [](const fs::path& company) { WriteFile(company, "x"); },
                                  L""},
                      // A user made it first (the Wine user's own folder, as Wine reads it)
                      // and put a link-to-be in the child's place.
                      CompanyCase{"MadeByAUser",
                                  [](const fs::path& company) {
                                    fs::create_directories(company / L"core");
                                    WriteFile(company / L"core" / L"planted.txt", "x");
                                  },
                                  L"core/planted.txt"},
                      CompanyCase{"AdministratorsOwnedButUsersMayWrite",
                                  [](const fs::path& company) {
                                    fs::create_directory(company);
                                    WriteFile(company / L"kept.txt", "x");
                                    SecurityFacts facts = AdminOnly();
                                    facts.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0,
                                                          FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE,
                                                          L"S-1-5-32-545"});
                                    gSecurity[IdOf(company)] = facts;
                                  },
                                  L"kept.txt"},
                      CompanyCase{"Junction",
                                  [](const fs::path& company) {
                                    fs::create_directory(company);
                                    WriteFile(company / L"target-file.txt", "x");
                                    gSecurity[IdOf(company)] = AdminOnly();
                                    gLinks.insert(IdOf(company));
                                  },
                                  L"target-file.txt"}),
    [](const ::testing::TestParamInfo<CompanyCase>& info) { return info.param.name; });

TEST_F(VpnFolder, MissingCommonFolderIsAnError) {
  EXPECT_THROW(EnsureVpnFolderIn(scratch_.path() / L"absent"), std::system_error);
}

TEST(CommonAppDataFolder, IsTheShellsAndExpandsOnlyTheSystemsVariables) {
  wchar_t shell[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, shell)));
  EXPECT_EQ(CommonAppDataFolder(), fs::path(shell));

  const struct {
    const wchar_t* value;
    const wchar_t* expanded;  // null: refused
  } cases[] = {
      {L"%SystemDrive%\\ProgramData", L"D:\\ProgramData"},
      {L"%systemroot%\\..\\Data", L"D:\\Win\\..\\Data"},
      {L"E:\\Shared", L"E:\\Shared"},
      {L"%ALLUSERSPROFILE%", nullptr},
      {L"%SystemDrive%\\", nullptr},  // the drive's root, not a folder on it
      {L"ProgramData", nullptr},
      {L"\\\\server\\share", nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<std::wstring> expanded = ExpandProgramDataValue(c.value, L"D:\\Win");
    EXPECT_EQ(expanded, c.expanded ? std::optional<std::wstring>(c.expanded) : std::nullopt)
        << fs::path(c.value);
  }
  EXPECT_FALSE(ExpandProgramDataValue(L"%SystemDrive%\\ProgramData", L"\\\\?\\D:\\Win"));
}
