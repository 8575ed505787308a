// What a descriptor's DACL grants a token holding a given set of SIDs, by the
// access check's own rules: ACEs in order, a right denied before it is allowed
// stays denied, a missing DACL grants everything, and the owner may always
// read and change the DACL. Wine cannot make tokens for other users, so the
// tests evaluate here rather than through AccessCheck.
// Test thread.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <initializer_list>
#include <string>

// Who asks: the SIDs of typical tokens.
namespace effective_access {
inline const std::initializer_list<const wchar_t*> kSystem = {L"S-1-5-18", L"S-1-5-32-544",
                                                              L"S-1-1-0", L"S-1-5-11"};
inline const std::initializer_list<const wchar_t*> kAdministrator = {
    L"S-1-5-21-1-2-3-500", L"S-1-5-32-544", L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-4", L"S-1-5-11"};
inline const std::initializer_list<const wchar_t*> kInteractiveUser = {
    L"S-1-5-21-1-2-3-1001", L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-4", L"S-1-5-11"};
inline const std::initializer_list<const wchar_t*> kEveryoneOnly = {L"S-1-1-0"};
}  // namespace effective_access

// Which ACEs apply: those of the object itself, or those a file or a folder
// created inside it inherits.
enum class AccessOf { Object, FileInside, FolderInside };

inline ACCESS_MASK EffectiveAccess(PSECURITY_DESCRIPTOR descriptor,
                                   std::initializer_list<const wchar_t*> token,
                                   const GENERIC_MAPPING& mapping,
                                   AccessOf of = AccessOf::Object) {
  const auto holds = [&](PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return false;
    const std::wstring name = text;
    LocalFree(text);
    for (const wchar_t* member : token) {
      if (name == member) return true;
    }
    return false;
  };
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return 0;
  if (!present || dacl == nullptr) return mapping.GenericAll;
  ACCESS_MASK granted = 0, denied = 0;
  PSID owner = nullptr;
  // Inherited, the creator's rights replace the owner's (not modelled here).
  if (of == AccessOf::Object && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
      holds(owner)) {
    granted = READ_CONTROL | WRITE_DAC;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    const BYTE flags = header->AceFlags;
    const bool applies = of == AccessOf::Object       ? (flags & INHERIT_ONLY_ACE) == 0
                         : of == AccessOf::FileInside ? (flags & OBJECT_INHERIT_ACE) != 0
                                                      : (flags & CONTAINER_INHERIT_ACE) != 0;
    if (!applies) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if (!holds(const_cast<DWORD*>(&ace->SidStart))) continue;
    ACCESS_MASK mask = ace->Mask;
    MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(&mapping));
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= mask & ~denied;
    } else {
      denied |= mask & ~granted;
    }
  }
  return granted;
}

inline constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                 FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
inline constexpr GENERIC_MAPPING kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
        SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
        SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS};
