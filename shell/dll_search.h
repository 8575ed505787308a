// Where Tovix.exe looks for DLLs. The host runs elevated, while the current
// directory and the folders on PATH may be writable by any program of the
// user: a DLL planted there under a name the host loads would run elevated.
// Main thread, first thing in wWinMain.
#pragma once

#include <windows.h>
#include <delayimp.h>

// From here on, libraries loaded by name come from the application folder
// (the embedder and the plugins) or the system folder, never from the
// current directory or PATH; the delay-loaded system DLLs come from the
// system folder only.
void NarrowDllSearch();

// The delay-load helper's notification hook: before it loads a delay-loaded
// DLL (all of them are system DLLs), loads that DLL from the system folder.
// Null for every other notification, and when the system folder has no such
// DLL (the helper then fails the call as it would have).
FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned notification, PDelayLoadInfo info);
