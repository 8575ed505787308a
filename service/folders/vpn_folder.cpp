// The core's folder under the machine's common application data. Runs on the
// caller's thread, which it briefly gives a token of its own (see
// RepairPrivileges).
//
// Every object is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), judged by
// what its handle shows, and changed through that handle, so nothing swapped
// in between a look and an action is ever acted on. "Kelpmarrow" that is not
// ours may hold handles its creator opened while it was theirs (handles keep
// the rights they were opened with, whatever the DACL says later), so it is
// never repaired in place: it is moved aside untouched. Inside a trusted
// "Kelpmarrow" nobody else can change anything, and a "core" that is not
// exactly ours is moved aside and removed through handles relative to its own.
#include "service/folders/vpn_folder.h"

#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/unique_resource.h"

#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif
#ifndef FILE_OPEN_FOR_BACKUP_INTENT
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000
#endif

namespace fs = std::filesystem;
using tovix::UniqueFileHandle;
using tovix::UniqueHandle;

namespace {

constexpr wchar_t kCompanyFolder[] = L"Kelpmarrow";
constexpr wchar_t kCoreFolder[] = L"core";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
constexpr DWORD kRemoveAccess = DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// Each try undoes what someone changed since the one before; a folder that
// keeps changing after that many is an attack or a broken machine.
constexpr int kAttempts = 4;
// Deeper than this, a tree under a moved-aside "core" is left where it is.
constexpr int kMaxDepth = 64;

FolderInspector gInspector = nullptr;
FolderSecurityWriter gWriter = nullptr;

[[noreturn]] void Fail(DWORD error, const char* what) {
  throw std::system_error(static_cast<int>(error), std::system_category(), what);
}

FolderInspection Inspect(HANDLE handle) {
  return gInspector ? gInspector(handle) : InspectFolderHandle(handle);
}

DWORD WriteSecurity(HANDLE handle, PSECURITY_DESCRIPTOR descriptor) {
  return gWriter ? gWriter(handle, descriptor) : WriteFolderSecurity(handle, descriptor);
}

bool IsPlainDirectory(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// "X:\" at the start, X an ASCII letter.
bool StartsAtADriveRoot(std::wstring_view path) {
  return path.size() >= 3 && (path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z' &&
         path[1] == L':' && path[2] == L'\\';
}

bool IsAbsent(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Backup, restore and take-ownership let an administrator open, re-own and
// delete what a user's DACL would keep from it. They are enabled on a copy of
// the process token that only this thread wears, and only for as long as the
// folder work lasts, so the rest of the program never holds them. Where they
// cannot be had, the work goes on with the rights the program has.
class RepairPrivileges {
 public:
  RepairPrivileges() {
    if (!ImpersonateSelf(SecurityImpersonation)) return;
    impersonating_ = true;
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE,
                         token.put())) {
      return;
    }
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) {
      TOKEN_PRIVILEGES privileges{};
      privileges.PrivilegeCount = 1;
      privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
      }
    }
  }
  ~RepairPrivileges() {
    if (impersonating_) RevertToSelf();
  }
  RepairPrivileges(const RepairPrivileges&) = delete;
  RepairPrivileges& operator=(const RepairPrivileges&) = delete;

 private:
  bool impersonating_ = false;
};

UniqueFileHandle OpenAsItself(const fs::path& path, DWORD access, DWORD& error) {
  UniqueFileHandle handle(
      CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr));
  error = handle ? 0 : GetLastError();
  return handle;
}

// `name` inside the folder `parent` is open, opened as itself; null when that
// fails.
UniqueFileHandle OpenChildAsItself(HANDLE parent, const std::wstring& name, DWORD access) {
  UNICODE_STRING text{};
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES object{};
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE child = nullptr;
  const NTSTATUS status = NtCreateFile(
      &child, access, &object, &io, nullptr, 0, kShareAll, FILE_OPEN,
      FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
      0);
  return UniqueFileHandle(status >= 0 ? child : INVALID_HANDLE_VALUE);
}

// The names in an open folder, "." and ".." left out.
std::vector<std::wstring> ListFolder(HANDLE folder) {
  std::vector<std::wstring> names;
  std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned for the records
  FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, kind, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
    kind = FileFullDirectoryInfo;
    const auto* bytes = reinterpret_cast<const std::byte*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(bytes);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") names.push_back(std::move(name));
      if (entry->NextEntryOffset == 0) break;
      bytes += entry->NextEntryOffset;
    }
  }
  return names;
}

// Deletes the object behind the handle, a link as the link. A read-only file
// refuses deletion until its attribute is cleared.
bool DeleteThroughHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition))) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetLastError() != ERROR_ACCESS_DENIED || !GetFileInformationByHandle(handle, &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
    return false;
  }
  FILE_BASIC_INFO basic{};  // zero times: left as they are
  basic.FileAttributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) &&
         SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Removes what the handle shows; a folder with its content, each entry opened
// relative to the folder's own handle, so a folder swapped for a link while
// this runs only loses the link. Best effort: what cannot go stays.
void RemoveThroughHandle(HANDLE handle, int depth) {
  if (IsPlainDirectory(Inspect(handle).attributes)) {
    if (depth >= kMaxDepth) return;
    for (const std::wstring& name : ListFolder(handle)) {
      UniqueFileHandle child = OpenChildAsItself(handle, name, kRemoveAccess);
      if (child) RemoveThroughHandle(child.get(), depth + 1);
    }
  }
  DeleteThroughHandle(handle);
}

// Gives the object behind `handle`, which is `path`, a new name beside it that
// nobody can have chosen before: "<name>.<16 hex digits>". The folder it stays
// in is one the user cannot replace (the common application data folder, or
// a trusted company folder); the object itself is renamed through its handle.
void MoveAside(HANDLE handle, const fs::path& path) {
  std::random_device random;
  const std::uint64_t tag = (std::uint64_t{random()} << 32) | random();
  wchar_t digits[17] = {};
  for (int i = 0; i < 16; ++i) digits[i] = L"0123456789abcdef"[(tag >> (60 - 4 * i)) & 0xF];
  // The full path, not a name relative to a folder handle: Wine's
  // SetFileInformationByHandle takes the name as a DOS path.
  const std::wstring name = path.native() + L"." + digits;

  std::vector<std::uint64_t> buffer(
      (offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t)) / 8 + 1);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  name.copy(rename->FileName, name.size());
  if (!SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                  static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
    Fail(GetLastError(), "move aside an untrusted object in the VPN folder");
  }
}

// Creates `path` as an admin-only folder. The descriptor is given at creation
// (so no moment exists in which anyone else could open it) and written again
// through a handle, for file systems that did not keep it as given. False when
// something else got there first.
bool CreateAdminOnlyFolder(const fs::path& path, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  if (!CreateDirectoryW(path.c_str(), &attributes)) {
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return false;
    Fail(error, "create VPN folder");
  }
  DWORD error = 0;
  UniqueFileHandle folder =
      OpenAsItself(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES, error);
  if (!folder) Fail(error, "open new VPN folder");
  if (!IsPlainDirectory(Inspect(folder.get()).attributes)) return false;
  if (const DWORD written = WriteSecurity(folder.get(), descriptor)) {
    Fail(written, "secure new VPN folder");
  }
  return true;
}

// One place (the company folder or the core folder) made trusted: kept when
// `trusted` accepts it, otherwise moved aside (and, where `remove`, removed)
// and made anew.
template <typename Judge>
void EnsureTrustedFolder(const fs::path& path, PSECURITY_DESCRIPTOR descriptor, Judge trusted,
                         bool remove) {
  DWORD error = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    UniqueFileHandle existing = OpenAsItself(path, kRemoveAccess, error);
    if (!existing) {
      if (!IsAbsent(error)) Fail(error, "open VPN folder");
      if (CreateAdminOnlyFolder(path, descriptor)) return;
      continue;
    }
    const FolderInspection seen = Inspect(existing.get());
    if (IsPlainDirectory(seen.attributes) && trusted(seen.security)) return;
    MoveAside(existing.get(), path);
    if (remove) RemoveThroughHandle(existing.get(), 0);
  }
  Fail(ERROR_RETRY, "VPN folder keeps changing");
}

}  // namespace

FolderInspection InspectFolderHandle(HANDLE handle) {
  FolderInspection seen;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info)) seen.attributes = info.dwFileAttributes;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    tovix::UniqueLocalMemory owned(descriptor);
    seen.security = FactsOfDescriptor(descriptor);
  }
  return seen;
}

DWORD WriteFolderSecurity(HANDLE handle, PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return GetLastError();
  }
  return SetSecurityInfo(
      handle, SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
}

FolderInspection InspectFolder(HANDLE handle) { return Inspect(handle); }

void RemoveFolderThroughHandle(HANDLE handle) { RemoveThroughHandle(handle, 0); }

void SetFolderSecurityHooks(FolderInspector inspector, FolderSecurityWriter writer) {
  gInspector = inspector;
  gWriter = writer;
}

namespace {

fs::path EnsureFolders(const fs::path& commonAppData, std::wstring_view ownerSid) {
  const tovix::UniqueLocalMemory descriptor = MakeAdminOnlyDescriptor();
  const RepairPrivileges privileges;
  const fs::path company = commonAppData / kCompanyFolder;
  // What a user made (or could still change) is never entered: moved aside
  // as it is.
  EnsureTrustedFolder(company, descriptor.get(), GrantsOnlyAdmins, false);
  // Inside a trusted company folder a wrong "core" is ours to remove, and
  // inside a trusted "core" a wrong folder of a user.
  const fs::path core = company / kCoreFolder;
  EnsureTrustedFolder(core, descriptor.get(), IsExactlyAdminOnly, true);
  if (ownerSid.empty()) return core;
  const fs::path own = core / std::wstring(ownerSid);
  EnsureTrustedFolder(own, descriptor.get(), IsExactlyAdminOnly, true);
  return own;
}

bool IsDecimalWithin(std::wstring_view digits, std::uint64_t most) {
  if (digits.empty() || digits.size() > 15 || (digits.size() > 1 && digits[0] == L'0')) {
    return false;
  }
  std::uint64_t value = 0;
  for (const wchar_t c : digits) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return value <= most;
}

}  // namespace

fs::path EnsureVpnFolderIn(const fs::path& commonAppData) { return EnsureFolders(commonAppData, {}); }

fs::path EnsureUserVpnFolderIn(const fs::path& commonAppData, std::wstring_view ownerSid) {
  if (!IsWellFormedSidString(ownerSid)) throw std::invalid_argument("not a SID");
  return EnsureFolders(commonAppData, ownerSid);
}

bool IsWellFormedSidString(std::wstring_view sid) {
  if (sid.size() > 184 || sid.substr(0, 4) != L"S-1-") return false;
  int parts = 0;
  for (std::size_t start = 4;; ++parts) {
    const std::size_t dash = sid.find(L'-', start);
    const std::wstring_view part =
        sid.substr(start, dash == std::wstring_view::npos ? dash : dash - start);
    // The authority is 48 bits, a sub-authority 32.
    if (!IsDecimalWithin(part, parts == 0 ? 0xFFFFFFFFFFFFull : 0xFFFFFFFFull)) return false;
    if (dash == std::wstring_view::npos) return parts >= 1 && parts <= 15;
    start = dash + 1;
  }
}

std::optional<std::wstring> ExpandProgramDataValue(std::wstring_view value,
                                                   std::wstring_view windowsFolder) {
  if (!StartsAtADriveRoot(windowsFolder)) return std::nullopt;
  const std::pair<std::wstring_view, std::wstring_view> known[] = {
      {L"%SystemDrive%", windowsFolder.substr(0, 2)}, {L"%SystemRoot%", windowsFolder}};
  std::wstring expanded;
  for (size_t at = 0; at < value.size();) {
    if (value[at] != L'%') {
      expanded += value[at++];
      continue;
    }
    auto match = std::find_if(std::begin(known), std::end(known), [&](const auto& entry) {
      return value.size() - at >= entry.first.size() &&
             CompareStringOrdinal(value.data() + at, static_cast<int>(entry.first.size()),
                                  entry.first.data(), static_cast<int>(entry.first.size()),
                                  TRUE) == CSTR_EQUAL;
    });
    if (match == std::end(known)) return std::nullopt;
    expanded += match->second;
    at += match->first.size();
  }
  // A folder on a drive, not the drive itself.
  if (expanded.size() < 4 || !StartsAtADriveRoot(expanded) || expanded.size() >= MAX_PATH) {
    return std::nullopt;
  }
  return expanded;
}

// The common application data folder (ProgramData), found once, where
// Windows keeps it: the profile list's "ProgramData" under HKLM, which only
// administrators can change. Its variables are taken from the Windows folder
// as the kernel reports it, never from the environment, which the user who
// started this program chose. (The shell's lookup loaded shell32 and, with
// it, COM, which stayed in the process after the library was let go: about
// 900 KiB of the idle program under Wine.)
fs::path CommonAppDataFolder() {
  static std::mutex lock;
  static fs::path found;
  std::lock_guard guard(lock);
  if (!found.empty()) return found;
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof(value);
  const LSTATUS read = RegGetValueW(
      HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
      L"ProgramData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size);
  if (read != ERROR_SUCCESS) Fail(static_cast<DWORD>(read), "read the common application data folder");
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) Fail(GetLastError(), "find the Windows folder");
  const std::optional<std::wstring> expanded = ExpandProgramDataValue(value, windows);
  if (!expanded) Fail(ERROR_BAD_PATHNAME, "find the common application data folder");
  found = *expanded;
  return found;
}

fs::path EnsureUserVpnFolder(std::wstring_view ownerSid) {
  return EnsureUserVpnFolderIn(CommonAppDataFolder(), ownerSid);
}
