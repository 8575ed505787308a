// Reaching the privileged program from Tovix.exe: the installed service,
// started through the service manager when it does not run, or else
// TovixService.exe started through the elevation prompt as a broker for this
// process alone. Either way the pipe is opened only once its server is the
// very process the service manager names, or that was started: a name
// another process made first gets nothing. No state of its own; the thread
// that connects (the start's worker, or the clean-up mode's).
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "common/unique_resource.h"

// The "start_failed" messages of a privileged side that cannot be had.
inline constexpr char kPromptDeclinedMessage[] = "administrator rights are needed to connect";
inline constexpr char kServiceUnverifiedMessage[] = "the VPN service could not be verified";
inline constexpr char kServiceEndedMessage[] = "VPN service ended unexpectedly";

// An open pipe whose server has been checked.
struct PrivilegedPipe {
  tovix::UniqueFileHandle pipe;
  // The broker's process (wait rights), had from its start; null for the
  // service, which hands its own in its hello.
  tovix::UniqueHandle broker;
  DWORD servicePid = 0;  // the service's process, 0 for a broker
};

// What starts the broker: ShellExecuteExW with the verb "runas", or a test's.
using ElevatedStarter = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

// The installed service running `program`, started if need be. False with
// `error` set when it is installed but cannot be had; false with `error`
// empty when it is not installed.
bool ConnectService(const std::wstring& program, PrivilegedPipe& opened, std::string& error);

// `program` --broker <this process> <random token>, started through `start`;
// false with the "start_failed" message (a declined prompt gives
// kPromptDeclinedMessage).
bool StartBroker(const std::wstring& program, ElevatedStarter start, PrivilegedPipe& opened,
                 std::string& error);
