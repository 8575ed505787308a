// The privileged program's side of the pipe: one client process served at a
// time, requests read and answered one message each. Main thread of
// TovixService.exe.
#pragma once

#include <windows.h>

#include <string>

// Serves the process `clientPid` on a new pipe `pipeName` until that process
// has ended, then ends its core and its DNS rule. The exit code of the
// program: 0 after a served client ended, 1 when the pipe or the client could
// not be had.
int RunBroker(DWORD clientPid, const std::wstring& pipeName);
