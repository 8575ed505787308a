// The rule for the folder TovixService.exe runs from: nobody but SYSTEM,
// Administrators and TrustedInstaller may change it or its "bin\" (where the
// core lives). A program that runs as SYSTEM from a folder a user can write
// runs whatever that user puts there. The judgement is over plain facts of a
// descriptor (admin_only_security.h), so tests give it what Wine cannot keep;
// the folders are read through InspectFolder (vpn_folder.h) and its test hook.
// Any thread.
#pragma once

#include <windows.h>

#include <filesystem>

#include "service/admin_only_security.h"

inline constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The rights that change a folder or what it holds. Writing attributes and
// extended attributes changes no file's content, but they are counted as
// well: a program folder never grants them to users (Program Files gives
// users read and execute only), so counting them refuses no sound install,
// and it leaves no doubt about what a folder's attributes can be made to do.
inline constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                             FILE_WRITE_ATTRIBUTES | DELETE | FILE_DELETE_CHILD |
                                             WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// True when only SYSTEM, Administrators and TrustedInstaller can change the
// folder these facts describe:
// - its owner is one of the three (an owner can always rewrite the DACL);
// - it has a DACL (a null DACL lets everyone do anything);
// - every allowing ACE that carries any of kChangeRights names one of the
//   three, or CREATOR OWNER or OWNER RIGHTS (both stand for an owner, who is
//   one of the three or, for what is created inside, whoever could create
//   there). Inherit-only ACEs are judged the same way: they grant nothing on
//   the folder itself, but they become rights on what an installer puts in it
//   later, such as the programs;
// - an allowing ACE of a kind whose rights are not plain (object, callback)
//   refuses; deny ACEs are not counted, so they never make a folder pass.
bool OnlyAdminsCanChange(const SecurityFacts& facts);

// `folder` and, when it exists, `folder\bin` pass OnlyAdminsCanChange. Both
// are opened following links, so a link is judged by the folder it leads to.
// A folder that cannot be opened or read fails; a missing "bin" passes (only
// those who can change `folder` could create it).
bool InstallFolderIsAdminOnly(const std::filesystem::path& folder);

// The same for the folder of the running program.
bool OwnFolderIsAdminOnly();

// The full path of the running program.
std::filesystem::path OwnProgramPath();
