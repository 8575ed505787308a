// The installed service's pipe (service_setup.h's kPipeName): several
// clients at once, each served on a thread of its own, from every Windows
// user and session of the machine. The VPN (its core and DNS rule) belongs
// to the client that started it, until that client releases its core, its
// connection ends, or its process ends; then the core and the rule end with
// it. Any other client cannot start, stop or touch that VPN, and hears
// nothing of it: replies carry only the lines of the work done for the
// client that asked.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "service/service_host.h"

// Who a client is: its Windows user (SID string) and session, whether its
// token holds Administrators (enabled), and its process.
struct ClientIdentity {
  std::wstring user;
  DWORD session = 0;
  DWORD pid = 0;
  bool administrator = false;
};

// Who the client of the connected pipe `pipe` (its process `pid`) is, as the
// pipe says: its session from GetNamedPipeClientSessionId, its user and
// membership from its token, had by impersonating it (it opens the pipe at
// identification level, which is enough to read the token and nothing
// more). Never from its process, whose id may be reused or whose handle may
// have been passed. Nothing when the token cannot be read.
std::optional<ClientIdentity> ReadPipeClientIdentity(HANDLE pipe, DWORD pid);

// The identity of the process `process` (query rights) with the id `pid`,
// from its primary token: the broker's one client, which it was started
// for; nothing when its token cannot be read.
std::optional<ClientIdentity> ReadClientIdentity(HANDLE process, DWORD pid);

// Tests: how clients are told apart. Wine has one user and one session, so
// a test build tells "users" apart by something else of the process (wait,
// query and duplicate rights); the shipped reader uses the pipe alone.
using ClientIdentityReader = std::optional<ClientIdentity> (*)(HANDLE pipe, HANDLE process,
                                                                DWORD pid);
void SetClientIdentityReader(ClientIdentityReader reader);

// Whether `client` may start the VPN while `owner` holds it (nothing: free).
enum class Admission { Granted, OtherUser, OtherProcess };
Admission AdmitStart(const std::optional<ClientIdentity>& owner, const ClientIdentity& client);
// The "start_failed" message of a refusal; empty for Granted.
std::string_view RefusalOf(Admission admission);

// The service's work (a ServiceWork): serves the pipe until `stopRequested`,
// then ends the VPN and every connection. A name another process holds
// ends it at once with ERROR_PIPE_BUSY. The pipe is owned by LocalSystem,
// which clients check.
DWORD ServeServicePipe(HANDLE stopRequested, ServiceIdle& idle);
// Tests: the same with a pipe owned as its creator's objects are, as a pipe
// that LocalSystem did not make.
DWORD ServeServicePipeOwnedByCreator(HANDLE stopRequested, ServiceIdle& idle);
