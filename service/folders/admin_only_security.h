// The security descriptor of the privileged program's folders, and the plain
// judgements over what a folder carries: whether it grants anything to anyone
// but SYSTEM and Administrators, and whether it is exactly what this program
// writes. The descriptor is read into plain data first, so the judgements are
// tested with descriptors Wine cannot keep. Any thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_resource.h"

inline constexpr wchar_t kSystemSid[] = L"S-1-5-18";
inline constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

struct AceFacts {
  BYTE type = 0;   // ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE, ...
  BYTE flags = 0;  // inheritance flags
  ACCESS_MASK mask = 0;
  std::wstring sid;  // "S-1-..."; empty for an ACE type without a plain SID
  bool operator==(const AceFacts&) const = default;
};

struct SecurityFacts {
  std::wstring owner;          // "S-1-..."; empty when the descriptor has none
  bool hasDacl = false;        // false: no DACL, or a null one (everyone may do anything)
  bool protectedDacl = false;  // SE_DACL_PROTECTED: nothing inherited from the parent
  std::vector<AceFacts> aces;
};

// Owner Administrators; protected DACL: full control for SYSTEM and for
// Administrators, inherited by files and folders created inside.
tovix::UniqueLocalMemory MakeAdminOnlyDescriptor();

// Reads owner, DACL and its protection from a descriptor that holds them.
SecurityFacts FactsOfDescriptor(PSECURITY_DESCRIPTOR descriptor);

// Owned by SYSTEM or Administrators, with a DACL whose every allowing ACE
// names one of the two (a deny ACE takes nothing away from that).
bool GrantsOnlyAdmins(const SecurityFacts& facts);

// Exactly what MakeAdminOnlyDescriptor gives: owner Administrators, protected,
// the two ACEs and nothing else.
bool IsExactlyAdminOnly(const SecurityFacts& facts);
