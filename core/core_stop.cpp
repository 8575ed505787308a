// Ending the core: the requested stop (window thread) and the watcher of
// unexpected exits (its own thread).
#include "core/core_stop.h"

void StopCore() {}

void ExitWatcher(HANDLE process) {
  if (process) CloseHandle(process);
}
