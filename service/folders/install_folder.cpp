// The install folder rule and the thin layer that reads the layout. Any
// thread.
//
// Each object is opened by its full path as itself
// (FILE_FLAG_OPEN_REPARSE_POINT) and judged through that handle. The folders
// before it on the path are followed, but each of them is judged too, as
// itself, so a link anywhere on the way fails the rule. Nothing here is
// acted on: the rule says whether anyone but the administrators could change
// the layout, and a layout only they can change stays as it was read.
#include "service/folders/install_folder.h"

#include <string>
#include <system_error>

#include "common/unique_resource.h"
#include "service/dns_rule/dns_guard.h"
#include "service/folders/vpn_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kCreatorOwnerSid[] = L"S-1-3-0";
constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";

// What SYSTEM runs or loads from an install, relative to its folder.
constexpr const wchar_t* kRunFiles[] = {L"TovixService.exe", kDnsGuardProgram, L"bin\\sing-box.exe",
                                        L"bin\\wintun.dll",  L"sing-box.exe",  L"wintun.dll"};

// Rights on a folder on the way that let their holder move away or replace
// what it holds (see NobodyElseCanMoveWhatItHolds); DELETE is added for the
// folder itself.
constexpr ACCESS_MASK kMoveChildRights =
    FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE;

bool IsTrustedOwner(const std::wstring& sid) {
  return sid == kSystemSid || sid == kAdministratorsSid || sid == kTrustedInstallerSid;
}

bool IsTrustedTrustee(const std::wstring& sid) {
  return IsTrustedOwner(sid) || sid == kCreatorOwnerSid || sid == kOwnerRightsSid;
}

bool IsDenyKind(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// Owner and ACEs judged for `rights`; inherit-only ACEs only where
// `counted(flags)` says so.
template <typename Counted>
bool NoOtherHolds(const SecurityFacts& facts, ACCESS_MASK rights, Counted counted) {
  if (!IsTrustedOwner(facts.owner) || !facts.hasDacl) return false;
  for (const AceFacts& ace : facts.aces) {
    if (IsDenyKind(ace.type) || !counted(ace.flags)) continue;
    if (ace.type != ACCESS_ALLOWED_ACE_TYPE) return false;
    if ((ace.mask & rights) != 0 && !IsTrustedTrustee(ace.sid)) return false;
  }
  return true;
}

bool IsFolderRole(LayoutRole role) { return role != LayoutRole::File; }

bool MayBeAbsent(LayoutRole role) { return role == LayoutRole::Folder || role == LayoutRole::File; }

bool ElementPasses(const LayoutElement& element) {
  if (!element.present) return MayBeAbsent(element.role);
  if (element.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (((element.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != IsFolderRole(element.role)) {
    return false;
  }
  switch (element.role) {
    case LayoutRole::VolumeRoot:
      return NobodyElseCanMoveWhatItHolds(element.security, false);
    case LayoutRole::Ancestor:
      return NobodyElseCanMoveWhatItHolds(element.security, true);
    default:
      return OnlyAdminsCanChange(element.security);
  }
}

// "X:\" at the start, X an ASCII letter.
bool StartsAtADriveRoot(const std::wstring& path) {
  return path.size() >= 3 && (path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z' &&
         path[1] == L':' && path[2] == L'\\';
}

LayoutElement Read(const fs::path& path, LayoutRole role) {
  LayoutElement element;
  element.role = role;
  tovix::UniqueFileHandle handle(
      CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) {
    // Anything but "not there" (access denied, a sharing violation) leaves
    // the element present with nothing known of it, which fails.
    const DWORD error = GetLastError();
    element.present = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return element;
  }
  const FolderInspection seen = InspectFolder(handle.get());
  element.attributes = seen.attributes;
  element.security = seen.security;
  return element;
}

}  // namespace

bool OnlyAdminsCanChange(const SecurityFacts& facts) {
  return NoOtherHolds(facts, kChangeRights, [](BYTE) { return true; });
}

bool NobodyElseCanMoveWhatItHolds(const SecurityFacts& facts, bool judgeDelete) {
  return NoOtherHolds(facts, kMoveChildRights | (judgeDelete ? DELETE : 0),
                      [](BYTE flags) { return (flags & INHERIT_ONLY_ACE) == 0; });
}

bool LayoutIsAdminOnly(const std::vector<LayoutElement>& layout) {
  if (layout.empty()) return false;
  for (const LayoutElement& element : layout) {
    if (!ElementPasses(element)) return false;
  }
  return true;
}

std::vector<LayoutElement> ReadInstallLayout(const fs::path& folder) {
  std::vector<LayoutElement> layout;
  if (!StartsAtADriveRoot(folder.native())) {
    layout.push_back(LayoutElement{LayoutRole::VolumeRoot, false, 0, {}});
    return layout;
  }
  fs::path walked = folder.root_path();
  layout.push_back(Read(walked, LayoutRole::VolumeRoot));
  std::vector<fs::path> parts;
  for (const fs::path& part : folder.relative_path()) {
    if (part.empty()) continue;  // a trailing separator
    // The path SYSTEM runs from names each folder by itself; "." and ".."
    // would make the walk judge folders other than those.
    if (part == L"." || part == L"..") {
      layout.push_back(LayoutElement{LayoutRole::ProgramFolder, false, 0, {}});
      return layout;
    }
    parts.push_back(part);
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    walked /= parts[i];
    const bool last = i + 1 == parts.size();
    layout.push_back(Read(walked, last ? LayoutRole::ProgramFolder : LayoutRole::Ancestor));
  }
  // A program at a drive root is refused: a root lets every user create
  // folders in it, which a program folder never may.
  if (parts.empty()) layout.push_back(LayoutElement{LayoutRole::ProgramFolder, false, 0, {}});
  layout.push_back(Read(folder / L"bin", LayoutRole::Folder));
  for (const wchar_t* file : kRunFiles) layout.push_back(Read(folder / file, LayoutRole::File));
  return layout;
}

bool InstallFolderIsAdminOnly(const fs::path& folder) {
  return LayoutIsAdminOnly(ReadInstallLayout(folder));
}

fs::path OwnProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "find this program's path");
    }
    // A full buffer may hold a cut path without its terminator.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool OwnFolderIsAdminOnly() { return InstallFolderIsAdminOnly(OwnProgramPath().parent_path()); }
