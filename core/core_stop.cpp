// Ending the core: StopCore, the requested stop (window thread), and
// ExitWatcher, the thread that notices a core ending by itself. Exactly one
// of them reports each end: whoever turns `running` from true to false.
#include "core/core_stop.h"

#include <cstdint>
#include <string>

#include "core/core_process.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "network/dns_policy.h"

namespace {

constexpr DWORD kStopWaitMs = 8000;
constexpr ULONGLONG kReaderDrainMs = 500;

// Called once the core has ended. Its output pipe then reports end of data as
// soon as the reader has drained it, unless another process still holds the
// pipe's write end (Wine's console host can, for a core ended right after its
// start), and then the reader's read would wait forever and the join with
// it. After a moment to drain what is left, that read is cancelled, again
// until the reader has finished.
void ReleaseReader() {
  const std::shared_ptr<CoreReaderControl> control = CoreProcess.readerControl;
  if (!control || !CoreProcess.readerThread.joinable()) return;
  const ULONGLONG start = GetTickCount64();
  while (!control->finished.load()) {
    if (GetTickCount64() - start >= kReaderDrainMs) {
      tovix::UniqueHandle reader(OpenThread(THREAD_TERMINATE, FALSE, control->threadId.load()));
      if (reader) CancelSynchronousIo(reader.get());
    }
    Sleep(10);
  }
}

}  // namespace

void StopCore() {
  // Only the window thread writes `process`, so this read needs no lock.
  const bool hadCore = static_cast<bool>(CoreProcess.process);
  // Cleared first: the watcher stays silent about the end that follows and
  // the reader no longer announces readiness.
  CoreProcess.running.exchange(false);
  RemoveDnsPolicyRule("stop");
  if (hadCore) EmitVpnEvent("stopping", "");

  bool timedOut = false;
  if (hadCore) {
    TerminateProcess(CoreProcess.process.get(), 0);
    if (WaitForSingleObject(CoreProcess.process.get(), kStopWaitMs) != WAIT_OBJECT_0) {
      timedOut = true;
      SessionLog::Write("[stop]", "core did not exit within " + std::to_string(kStopWaitMs / 1000) +
                                      "s; handing it to the job object and releasing the UI");
      // They may still be blocked on the core; they end on their own once the
      // job has ended it.
      if (CoreProcess.readerThread.joinable()) CoreProcess.readerThread.detach();
      if (CoreProcess.watcherThread.joinable()) CoreProcess.watcherThread.detach();
    } else {
      ReleaseReader();
      JoinCoreThreads();
    }
  } else {
    JoinCoreThreads();
  }

  {
    std::lock_guard<std::mutex> lock(CoreLock);
    if (timedOut) {
      // The detached reader still reads `outputRead`: forget the handles
      // without closing them. Closing the job's last handle ends the core.
      CoreProcess.process.release();
      CoreProcess.thread.release();
      CoreProcess.pid = 0;
      CoreProcess.tid = 0;
      CoreProcess.outputRead.release();
      CoreProcess.outputWrite.release();
      CoreProcess.job.reset();
    }
    if (CoreProcess.process) {
      CoreProcess.process.reset();
      CoreProcess.thread.reset();
      CoreProcess.pid = 0;
      CoreProcess.tid = 0;
    }
    CoreProcess.readerControl.reset();
    CoreProcess.outputRead.reset();
    CoreProcess.outputWrite.reset();
    CoreProcess.job.reset();
  }

  if (hadCore) EmitVpnEvent("idle", "");
  SessionLog::End();
}

void ExitWatcher(HANDLE process) {
  try {
    // Started by the launch right after it counted this core, so this is the
    // core's own generation.
    const std::uint64_t generation = CoreProcess.coreGeneration.load();
    WaitForSingleObject(process, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    // A watcher left behind by a stop that timed out must not take the
    // `running` flag of the core started after it.
    if (CoreProcess.coreGeneration.load() != generation) return;
    if (!CoreProcess.running.exchange(false)) return;  // a stop or a failed start ended it

    RemoveDnsPolicyRule("core exited");
    EmitVpnEvent(exitCode == 0 ? "idle" : "error",
                 "sing-box exited code=" + std::to_string(static_cast<unsigned long>(exitCode)));
    EmitVpnEvent("network_lost", "state query");
  } catch (...) {
    // Wall: nothing escapes a thread entry.
  }
}
