// Ending the core: the requested stop and the watcher of unexpected exits.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Window thread. Terminates the held core, reclaims threads and handles,
// emits "stopping"/"idle" when a core was held, ends the session log; all of
// it within 8 s (what does not end by then is kept aside, see below).
void StopCore();

// Thread body; owns and closes `process` (SYNCHRONIZE | query rights) and
// `privileged`, the privileged program's process (may be null).
// `generation` is the watched core's count from MarkCoreRunning.
void ExitWatcher(HANDLE process, HANDLE privileged, std::uint64_t generation);

// The reader and watcher of cores whose stop timed out, or whose reader had
// not finished by the end of the stop, are kept, with the handles they still
// use, until their core is gone and their reader has finished. Reclaims
// (joins and closes) those for which both happen within `waitMs`; true when
// none is left.
// Window thread; StopCore calls it without waiting, the shutdown with a wait.
bool ReclaimCoreThreadsLeftBehind(DWORD waitMs);
std::size_t CoreThreadsLeftBehind();
