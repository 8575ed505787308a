// The install folder rule and the thin layer that reads the folders. Any
// thread.
#include "service/install_folder.h"

#include <string>
#include <system_error>

#include "common/unique_resource.h"
#include "service/vpn_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kCreatorOwnerSid[] = L"S-1-3-0";
constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";

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

enum class Presence { Passes, Fails, Absent };

Presence Judge(const fs::path& folder) {
  tovix::UniqueFileHandle handle(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
  if (!handle) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::Absent
                                                                          : Presence::Fails;
  }
  const FolderInspection seen = InspectFolder(handle.get());
  if (!(seen.attributes & FILE_ATTRIBUTE_DIRECTORY)) return Presence::Fails;
  return OnlyAdminsCanChange(seen.security) ? Presence::Passes : Presence::Fails;
}

}  // namespace

bool OnlyAdminsCanChange(const SecurityFacts& facts) {
  if (!IsTrustedOwner(facts.owner) || !facts.hasDacl) return false;
  for (const AceFacts& ace : facts.aces) {
    if (IsDenyKind(ace.type)) continue;
    if (ace.type != ACCESS_ALLOWED_ACE_TYPE) return false;
    if ((ace.mask & kChangeRights) != 0 && !IsTrustedTrustee(ace.sid)) return false;
  }
  return true;
}

bool InstallFolderIsAdminOnly(const fs::path& folder) {
  if (Judge(folder) != Presence::Passes) return false;
  return Judge(folder / L"bin") != Presence::Fails;
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
