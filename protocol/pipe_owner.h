// Whose pipe a client has opened: the installed service's pipe is owned by
// LocalSystem, which a standard user cannot make the owner of anything. A
// client checks the owner before it sends a byte, besides the server's
// process id, so that a pipe a user made under the service's name is never
// taken for the service's. The decision is a plain function over a security
// descriptor; the reader beside it only asks Windows for the descriptor.
// Any thread.
#pragma once

#include <windows.h>

// LocalSystem's SID, the owner the service's pipe has (see service_server.cpp).
inline constexpr wchar_t kLocalSystemSid[] = L"S-1-5-18";

// Whether `descriptor` names the SID `ownerSid` (string form) as its owner.
// A descriptor without an owner, a null descriptor and a SID text that is not
// a SID are never a match.
bool DescriptorOwnedBy(PSECURITY_DESCRIPTOR descriptor, const wchar_t* ownerSid);

// The same for LocalSystem.
inline bool PipeOwnedByLocalSystem(PSECURITY_DESCRIPTOR descriptor) {
  return DescriptorOwnedBy(descriptor, kLocalSystemSid);
}

// Whether the pipe `pipe` (either end; READ_CONTROL is part of every pipe
// handle's rights) is owned by `ownerSid`; false when its owner cannot be
// read.
bool PipeOwnedBy(HANDLE pipe, const wchar_t* ownerSid = kLocalSystemSid);
