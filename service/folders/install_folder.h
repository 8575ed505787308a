// The rule for the folder TovixService.exe runs from: nobody but SYSTEM,
// Administrators and TrustedInstaller may change what SYSTEM runs from there.
// A program that runs as SYSTEM from a folder a user can write, or from a
// folder a user can move away and replace, runs whatever that user puts
// there; and the check inside such a program would run inside the replaced
// program, too late. So the rule judges the whole way: every folder from the
// volume root down, the program folder and "bin\", and the programs and the
// library that SYSTEM runs or loads, each with its own descriptor. The
// judgement is over plain facts (admin_only_security.h), so tests give it
// what Wine cannot keep; the objects are read through InspectFolder
// (vpn_folder.h) and its test hook. Any thread.
#pragma once

#include <windows.h>

#include <filesystem>
#include <vector>

#include "service/folders/admin_only_security.h"

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
// folder or file these facts describe:
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

// True when nobody but the three can move away or replace the folders on the
// way to the program folder, judged on one of them (`facts`, a folder that
// holds the next one on the way). A user who can rename "C:\Program Files"
// away, or the program folder, makes a folder of their own of the old name and
// puts their program where the service's path points. Renaming a folder takes
// DELETE on it or FILE_DELETE_CHILD on the folder that holds it. So:
// - its owner is one of the three, and it has a DACL (as above);
// - no ACE that applies to the folder itself gives anyone else
//   FILE_DELETE_CHILD, WRITE_DAC or WRITE_OWNER (with which one grants oneself
//   the rest), GENERIC_ALL or GENERIC_WRITE, nor DELETE when `judgeDelete`
//   (every folder but the volume root, which cannot be renamed).
// Not counted, on purpose:
// - adding files and subfolders (FILE_WRITE_DATA, FILE_APPEND_DATA). "C:\"
//   grants Authenticated Users "create folders" on itself, and a new folder
//   beside "Program Files" replaces nothing: a name that is taken stays taken
//   until its folder is moved, which needs the rights above;
// - inherit-only ACEs. "C:\" gives Authenticated Users Modify for what is
//   created inside it (inherit-only): that is a right on new folders, not on
//   "C:\"; what it became on the folders on the way is in their own DACLs,
//   which the rule reads as well.
// GENERIC_WRITE, once mapped for a folder, only adds; it is counted all the
// same, since Windows' own tools store the mapped rights in an ACE that
// applies to the folder, and an ACE that still holds a generic right there
// was written by hand, for which the rule takes no guess.
bool NobodyElseCanMoveWhatItHolds(const SecurityFacts& facts, bool judgeDelete);

// The place of one object in the layout the rule judges.
enum class LayoutRole {
  VolumeRoot,     // "C:\": holds the first folder on the way
  Ancestor,       // a folder on the way, such as "C:\Program Files"
  ProgramFolder,  // the folder of TovixService.exe
  Folder,         // "bin\" in it; may be absent
  File,           // a program or library SYSTEM runs or loads; may be absent
};

// What the rule sees of one object, opened as itself (a link is seen as the
// link, never as what it leads to).
struct LayoutElement {
  LayoutRole role = LayoutRole::Ancestor;
  bool present = true;   // false: there is nothing of that name
  DWORD attributes = 0;  // FILE_ATTRIBUTE_*
  SecurityFacts security;
};

// True when nothing in `layout` can be changed, moved away or replaced by
// anyone but the three:
// - every element is a plain object of its kind: no reparse point (a
//   junction or symbolic link would lead SYSTEM wherever its maker can
//   point it), a folder for the folders, a file for the files;
// - the volume root, the folders on the way and the program folder are
//   there; "bin\" and the files may be absent (only those who can change the
//   folder that would hold them could create them);
// - the volume root and the folders on the way pass
//   NobodyElseCanMoveWhatItHolds, the program folder, "bin\" and the files
//   OnlyAdminsCanChange.
bool LayoutIsAdminOnly(const std::vector<LayoutElement>& layout);

// The layout of an install in `folder`, read through InspectFolder: the
// volume root and each folder down to `folder`, then `folder` itself, "bin\",
// TovixService.exe and TovixDnsGuard.exe, and sing-box.exe and wintun.dll in
// "bin\" and beside the program (the service runs the core from "bin\" when
// it is there, else from beside itself). A path that is not an absolute one
// on a drive letter ("\\server\share\...", "\\?\...") yields an absent
// volume root, which fails the rule.
std::vector<LayoutElement> ReadInstallLayout(const std::filesystem::path& folder);

// LayoutIsAdminOnly(ReadInstallLayout(folder)).
bool InstallFolderIsAdminOnly(const std::filesystem::path& folder);

// The same for the folder of the running program.
bool OwnFolderIsAdminOnly();

// The full path of the running program.
std::filesystem::path OwnProgramPath();
