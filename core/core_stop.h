// Ending the core: the requested stop and the watcher of unexpected exits.
#pragma once

#include <windows.h>

// Window thread. Terminates the held core (at most 8 s), reclaims threads and
// handles, emits "stopping"/"idle" when a core was held, ends the session log.
void StopCore();

// Thread body; owns and closes `process` (SYNCHRONIZE | query rights).
void ExitWatcher(HANDLE process);
