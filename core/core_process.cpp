// The one record of the running VPN core, its lock, and the two small
// operations over it that the channel and the network monitor use.
// IsOurVpnRunning: any thread. JoinCoreThreads: window thread only.
#include "core/core_process.h"

CoreProcessRecord CoreProcess;
std::mutex CoreLock;

bool IsOurVpnRunning() {
  std::lock_guard<std::mutex> lock(CoreLock);
  if (!CoreProcess.running.load()) return false;
  if (!CoreProcess.process) return false;
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(CoreProcess.process.get(), &exitCode)) return false;
  return exitCode == STILL_ACTIVE;
}

void JoinCoreThreads() {
  // No lock: only the window thread touches the thread objects, and joining
  // under CoreLock could deadlock with a reader or watcher that emits events.
  if (CoreProcess.readerThread.joinable()) CoreProcess.readerThread.join();
  if (CoreProcess.watcherThread.joinable()) CoreProcess.watcherThread.join();
}

std::uint64_t MarkCoreRunning() {
  std::lock_guard<std::mutex> lock(CoreLock);
  const std::uint64_t generation = CoreProcess.coreGeneration.fetch_add(1) + 1;
  CoreProcess.running.exchange(true);
  return generation;
}

bool ClaimCoreEnd(std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(CoreLock);
  if (CoreProcess.coreGeneration.load() != generation) return false;
  return CoreProcess.running.exchange(false);
}

void RetireEarlierCores() {
  std::lock_guard<std::mutex> lock(CoreLock);
  CoreProcess.coreGeneration.fetch_add(1);
}

bool IfCurrentCore(std::uint64_t generation, const std::function<void()>& action) {
  std::lock_guard<std::mutex> lock(CoreLock);
  if (CoreProcess.coreGeneration.load() != generation) return false;
  action();
  return true;
}
