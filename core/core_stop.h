// Ending the core: the requested stop and the watcher of unexpected exits.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Window thread. Terminates the held core (at most 8 s), reclaims threads and
// handles, emits "stopping"/"idle" when a core was held, ends the session log.
void StopCore();

// Thread body; owns and closes `process` (SYNCHRONIZE | query rights) and
// `privileged`, the privileged program's process (may be null).
// `generation` is the watched core's count from MarkCoreRunning.
void ExitWatcher(HANDLE process, HANDLE privileged, std::uint64_t generation);

// The reader and watcher of cores whose stop timed out are kept, with the
// handles they still use, until their core is gone. Reclaims (joins and
// closes) those whose core ends within `waitMs`; true when none is left.
// Window thread; StopCore calls it without waiting, the shutdown with a wait.
bool ReclaimCoreThreadsLeftBehind(DWORD waitMs);
std::size_t CoreThreadsLeftBehind();
