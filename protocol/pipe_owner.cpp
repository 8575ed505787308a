// The pipe owner's check: the descriptor is read from the handle (the kernel
// object's own), never looked up again by name.
#include "protocol/pipe_owner.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/unique_resource.h"

bool DescriptorOwnedBy(PSECURITY_DESCRIPTOR descriptor, const wchar_t* ownerSid) {
  if (descriptor == nullptr || ownerSid == nullptr) return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !IsValidSid(owner)) {
    return false;
  }
  PSID expected = nullptr;
  if (!ConvertStringSidToSidW(ownerSid, &expected)) return false;
  const tovix::UniqueLocalMemory owned(expected);
  return EqualSid(owner, expected) != FALSE;
}

bool PipeOwnedBy(HANDLE pipe, const wchar_t* ownerSid) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const tovix::UniqueLocalMemory owned(descriptor);
  return DescriptorOwnedBy(descriptor, ownerSid);
}
