// The admin-only descriptor and the judgements over a folder's security.
// Any thread.
#include "service/folders/admin_only_security.h"

#include <sddl.h>

#include <system_error>

namespace {

// SYSTEM and Administrators: full control (FILE_ALL_ACCESS, spelled out so
// that nothing is mapped or split on the way in), inherited by files and
// folders inside; protected from what the parent would pass on.
constexpr wchar_t kAdminOnlySddl[] = L"O:BAD:P(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)";

std::wstring SidText(PSID sid) {
  if (!sid) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  tovix::UniqueLocalMemory owned(text);
  return text;
}

bool IsAdminSid(const std::wstring& sid) { return sid == kSystemSid || sid == kAdministratorsSid; }

}  // namespace

tovix::UniqueLocalMemory MakeAdminOnlyDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlySddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "build admin-only security descriptor");
  }
  return tovix::UniqueLocalMemory(descriptor);
}

SecurityFacts FactsOfDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  SecurityFacts facts;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) facts.owner = SidText(owner);

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    facts.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
    return facts;
  }
  facts.hasDacl = true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    AceFacts ace;
    ace.type = header->AceType;
    ace.flags = header->AceFlags;
    // The plain allow and deny ACEs share one layout: mask, then the SID. The
    // object and callback kinds keep the type alone, which no check accepts.
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      const auto* body = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
      ace.mask = body->Mask;
      ace.sid = SidText(const_cast<DWORD*>(&body->SidStart));
    }
    facts.aces.push_back(std::move(ace));
  }
  return facts;
}

bool GrantsOnlyAdmins(const SecurityFacts& facts) {
  if (!IsAdminSid(facts.owner) || !facts.hasDacl) return false;
  for (const AceFacts& ace : facts.aces) {
    if (ace.type == ACCESS_DENIED_ACE_TYPE) continue;
    if (ace.type != ACCESS_ALLOWED_ACE_TYPE || !IsAdminSid(ace.sid)) return false;
  }
  return true;
}

bool IsExactlyAdminOnly(const SecurityFacts& facts) {
  constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  const std::vector<AceFacts> expected = {
      {ACCESS_ALLOWED_ACE_TYPE, kInherited, FILE_ALL_ACCESS, kSystemSid},
      {ACCESS_ALLOWED_ACE_TYPE, kInherited, FILE_ALL_ACCESS, kAdministratorsSid}};
  return facts.owner == kAdministratorsSid && facts.hasDacl && facts.protectedDacl &&
         facts.aces == expected;
}
