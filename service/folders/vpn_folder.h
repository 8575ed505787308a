// The folder the core works in, "%ProgramData%\Kelpmarrow\core": only SYSTEM
// and Administrators may touch it, so a process of the user can neither plant
// a link in it nor read what the core keeps there. This program runs as an
// administrator and takes requests from a process of the user, so it never
// follows a link on the way and never acts on a path under a folder the user
// could still change. Any thread that is not impersonating anyone (the call
// wears a token of its own for a while and ends impersonation when done).
// Two calls at once are not supported.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "service/folders/admin_only_security.h"

// "<common application data>\Kelpmarrow\core", made admin-only (owner
// Administrators, protected DACL for SYSTEM and Administrators) and made anew
// when anything else is there. "Kelpmarrow" itself must grant nothing to
// anyone else and be a plain folder; what is there otherwise is moved aside,
// untouched, and a new one is made. A trusted "core" keeps its content (the
// users' folders). Throws std::system_error on failure. For tests; the core
// runs in the folder of its owner, below.
// "<common application data>\Kelpmarrow\core\<ownerSid>": the core of one
// Windows user works in a folder of that user's own, made like "core" itself,
// so that no user's core opens another user's cache, state or logs. Throws
// std::invalid_argument when `ownerSid` is not a well-formed SID string, and
// std::system_error on failure.
std::filesystem::path EnsureUserVpnFolder(std::wstring_view ownerSid);

// "S-1-" and then decimal numbers joined by '-': an identifier authority and
// one to fifteen sub-authorities, each within its range. Nothing else can
// become a folder name: no separator, dot or device name gets through.
bool IsWellFormedSidString(std::wstring_view sid);

// The machine's common application data folder (cached after the first call).
// Throws std::system_error when it cannot be found.
std::filesystem::path CommonAppDataFolder();

// The profile list's "ProgramData" value with its variables expanded:
// %SystemDrive% and %SystemRoot% (in any case), from `windowsFolder`; null for
// any other variable, or when either is not an absolute path on a drive.
std::optional<std::wstring> ExpandProgramDataValue(std::wstring_view value,
                                                   std::wstring_view windowsFolder);

// The same under `commonAppData` (an existing folder) instead of the
// machine's common application data folder; for tests.
std::filesystem::path EnsureVpnFolderIn(const std::filesystem::path& commonAppData);
std::filesystem::path EnsureUserVpnFolderIn(const std::filesystem::path& commonAppData,
                                            std::wstring_view ownerSid);

// Removes what `handle` shows, a link as the link; a plain folder with its
// content first, each entry opened as itself relative to its folder's
// handle, so no link on the way is ever followed. Best effort: what cannot
// go stays. The handle needs DELETE, FILE_LIST_DIRECTORY and attribute
// rights.
void RemoveFolderThroughHandle(HANDLE handle);

// What the folder code sees of an object through a handle.
struct FolderInspection {
  DWORD attributes = 0;
  SecurityFacts security;
};

// The real ones: attributes and security read through the handle, and
// SetSecurityInfo (owner and protected DACL) on it. The writer answers a
// Win32 error code, 0 on success.
FolderInspection InspectFolderHandle(HANDLE handle);
DWORD WriteFolderSecurity(HANDLE handle, PSECURITY_DESCRIPTOR descriptor);

// What the folder code sees through `handle`: the test reader below when one
// is set, else InspectFolderHandle. Every check of a folder's security in this
// program reads through it, so one hook serves them all.
FolderInspection InspectFolder(HANDLE handle);

// Tests only: Wine keeps no security descriptor of a file (it makes one up
// from the Unix mode bits) and shows no link as a reparse point, so a test
// puts its own reader and writer in place. Null restores the real ones.
using FolderInspector = FolderInspection (*)(HANDLE handle);
using FolderSecurityWriter = DWORD (*)(HANDLE handle, PSECURITY_DESCRIPTOR descriptor);
void SetFolderSecurityHooks(FolderInspector inspector, FolderSecurityWriter writer);
