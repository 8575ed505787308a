// The privileged side of the VPN core: launching sing-box.exe (suspended, in
// its kill-on-close job, the configuration on standard input only, exactly
// two inherited handles), resuming it, terminating it and letting it go.
// The output pipe's read end and a handle that can only wait on and query
// the core are handed to the client process; everything that could change
// the core stays here. One core at a time; the service's request thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/broker_protocol.h"

// Handles launch request `request` for the client process `client` (which
// the handles are duplicated into), whose Windows user is `ownerSid`, and
// fills `reply`. The core works in that user's own folder. Lines go to
// ServiceLog.
void LaunchCore(const tovix::broker::Message& request, HANDLE client, std::wstring_view ownerSid,
                tovix::broker::Message& reply);
// Resumes core `core` and writes its configuration (within 5 s, and no
// longer than the client process `client` lives).
void ResumeCore(std::uint64_t core, HANDLE client, tovix::broker::Message& reply);
// TerminateProcess on core `core` with `exitCode`.
void TerminateCore(std::uint64_t core, UINT exitCode, tovix::broker::Message& reply);
// Closes everything of core `core`; the job's closing ends it.
void ReleaseCore(std::uint64_t core, tovix::broker::Message& reply);
// Ends whatever core is held (the client has gone).
void ReleaseAnyCore();

// Whether a core is held and has ended (by itself, or terminated).
bool HeldCoreHasEnded();

// The core still held and not yet terminated or released, 0 when none.
// Any thread.
std::uint64_t CurrentCore();

// Whether the core is created inside its job where the system supports it
// (the default). Tests turn it off to take the fallback of older systems:
// bound to the job after creation, before it is resumed.
void OfferCoreJobAtCreation(bool offer);

// The limits of the core's job: kill-on-close always, and one active process
// (the core itself may start none) when `oneProcess`.
JOBOBJECT_EXTENDED_LIMIT_INFORMATION CoreJobLimits(bool oneProcess);
// Whether this Windows lets the core be limited to one process: sing-box's
// TUN code sets the adapter's DNS servers by running netsh.exe where iphlpapi
// lacks SetInterfaceDnsSettings (Windows 10 before 1809, and Wine).
bool CoreMayBeLimitedToOneProcess();

// Whether a creation that failed with `error` is tried once more without the
// job attribute: only when the attribute was offered and the error is
// ERROR_INTERNAL_ERROR. The retry is logged ("[boot] creation inside the job
// failed err=1359; once more without it").
bool RetryCoreCreationWithoutJob(bool jobOffered, DWORD error);
