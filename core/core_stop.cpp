// Ending the core: StopCore, the requested stop (window thread), and
// ExitWatcher, the thread that notices a core ending by itself. Exactly one
// of them reports each end: whoever turns `running` from true to false.
#include "core/core_stop.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/core_process.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "core/privileged_client.h"
#include "core/dns_rule_requests.h"

namespace {

constexpr DWORD kStopWaitMs = 8000;
// Asks the privileged program to do `kind` to core `core`, waiting for its
// answer until `deadline` at most; a program that is gone has taken its core
// with it (the core's job).
void AskAboutCore(tovix::broker::Kind kind, std::uint64_t core, ULONGLONG deadline) {
  tovix::broker::Message request;
  request.core = core;
  const ULONGLONG now = GetTickCount64();
  PrivilegedClient::Call(kind, std::move(request),
                     now < deadline ? static_cast<DWORD>(deadline - now) : 0);
}
constexpr ULONGLONG kReaderDrainMs = 500;

// Called once the core has ended. Its output pipe then reports end of data as
// soon as the reader has drained it, unless another process still holds the
// pipe's write end (Wine's console host can, for a core ended right after its
// start), and then the reader's read would wait forever and the join with
// it. After a moment to drain what is left, that read is cancelled, again
// until the reader has finished or `deadline` (GetTickCount64) has come.
// True when the reader has finished and can be joined at once.
bool ReleaseReader(const std::shared_ptr<CoreReaderControl>& control, const std::thread& reader,
                   ULONGLONG deadline) {
  if (!control || !reader.joinable()) return true;
  const ULONGLONG start = GetTickCount64();
  while (!control->finished.load()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    if (now - start >= kReaderDrainMs) {
      tovix::UniqueHandle thread(OpenThread(THREAD_TERMINATE, FALSE, control->threadId.load()));
      if (thread) CancelSynchronousIo(thread.get());
    }
    if (!control->done || WaitForSingleObject(control->done.get(), 10) == WAIT_FAILED) Sleep(10);
  }
  return true;
}

// A core whose stop timed out, or whose reader did not finish within the
// stop: its threads may still be blocked, so they are neither joined nor let
// go (a thread let go could still run while the process tears down its
// statics). They are joined once the job has ended the core and the reader
// has finished. `process` tells when the core is gone; `outputRead` is what
// the reader still reads. Everything else of the core is closed at the stop.
struct LeftBehindCore {
  tovix::UniqueHandle process;
  tovix::UniqueHandle outputRead;
  std::thread reader;
  std::thread watcher;
  std::shared_ptr<CoreReaderControl> readerControl;
};

// Window thread only (StopCore and the shutdown), so no lock.
std::vector<LeftBehindCore> leftBehind;

constexpr DWORD kExitReclaimMs = 5000;

// Registered when a core is first left behind, so that it runs at process
// exit before the destructors of every static built before it, which is all
// of them: no thread of a core may run while those are torn down. A core
// that even its job could not end keeps its threads blocked; then the
// process ends here, without static teardown, rather than under them.
void ReclaimAtExit() {
  if (ReclaimCoreThreadsLeftBehind(kExitReclaimMs)) return;
  // TerminateProcess skips the C runtime's own exit, which would have
  // written out what its streams still hold.
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), 1);
}

}  // namespace

bool ReclaimCoreThreadsLeftBehind(DWORD waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (auto it = leftBehind.begin(); it != leftBehind.end();) {
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(it->process.get(), wait) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    // The core is gone: the watcher's wait has ended, and the reader's read
    // ends with the pipe or is cancelled. A reader still busy at the
    // deadline keeps the entry for a later try.
    if (!ReleaseReader(it->readerControl, it->reader, deadline)) {
      ++it;
      continue;
    }
    if (it->reader.joinable()) it->reader.join();
    if (it->watcher.joinable()) it->watcher.join();
    it = leftBehind.erase(it);
  }
  return leftBehind.empty();
}

std::size_t CoreThreadsLeftBehind() { return leftBehind.size(); }

void StopCore() {
  // The whole stop, the rule's removal, the core's end and its reader's, has
  // this bound: the UI hears "idle" within it whatever the core, its pipe or
  // the rule's guard do.
  const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
  // Threads of an earlier timed-out stop whose core has gone since.
  ReclaimCoreThreadsLeftBehind(0);
  // Only the window thread writes `process`, so this read needs no lock.
  const bool hadCore = static_cast<bool>(CoreProcess.process);
  // Cleared first: the watcher stays silent about the end that follows and
  // the reader no longer announces readiness.
  CoreProcess.running.exchange(false);
  // Without a core there is no rule of ours: it is asked for only for a
  // running core, and its answer comes before the removal that follows it.
  if (hadCore) RemoveDnsPolicyRule("stop");
  if (hadCore) EmitVpnEvent("stopping", "");

  bool keptAside = false;
  LeftBehindCore left;
  const std::uint64_t core = CoreProcess.brokerCore;
  if (hadCore) {
    AskAboutCore(tovix::broker::Kind::Terminate, core, deadline);
    const ULONGLONG now = GetTickCount64();
    const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(CoreProcess.process.get(), wait) != WAIT_OBJECT_0) {
      keptAside = true;
      SessionLog::Write("[stop]", "core did not exit within " + std::to_string(kStopWaitMs / 1000) +
                                      "s; handing it to the job object and releasing the UI");
    } else if (!ReleaseReader(CoreProcess.readerControl, CoreProcess.readerThread, deadline)) {
      // Nothing reaches its read (another process holds the pipe's write
      // end and the cancel does not take): closing the job below may end
      // that process, and the reader is joined once it has finished.
      keptAside = true;
    }
    if (keptAside) {
      // They may still be blocked on the core; they are joined once the job
      // has ended it.
      left.reader = std::move(CoreProcess.readerThread);
      left.watcher = std::move(CoreProcess.watcherThread);
    } else {
      JoinCoreThreads();
    }
  } else {
    JoinCoreThreads();
  }

  {
    std::lock_guard<std::mutex> lock(CoreLock);
    if (keptAside) {
      // The reader still reads `outputRead`, and `process` tells when the
      // core is gone: both stay with the threads. Closing the job's last
      // handle (below) ends the core.
      left.process = std::move(CoreProcess.process);
      left.outputRead = std::move(CoreProcess.outputRead);
      left.readerControl = CoreProcess.readerControl;
    }
    if (CoreProcess.process) CoreProcess.process.reset();
    CoreProcess.pid = 0;
    CoreProcess.brokerCore = 0;
    CoreProcess.readerControl.reset();
    CoreProcess.outputRead.reset();
  }
  // The privileged side closes the core's job, which ends a core that did
  // not go when told.
  if (core != 0) AskAboutCore(tovix::broker::Kind::Release, core, deadline);
  if (keptAside) {
    static const bool exitHookRegistered = std::atexit(&ReclaimAtExit) == 0;
    (void)exitHookRegistered;
    leftBehind.push_back(std::move(left));
    // Usually the job has ended the core by now.
    ReclaimCoreThreadsLeftBehind(0);
  }

  if (hadCore) EmitVpnEvent("idle", "");
  SessionLog::End();
}

void ExitWatcher(HANDLE process, HANDLE privileged, std::uint64_t generation) {
  try {
    // The privileged program's end takes the core with it (the job): that end
    // is reported as the program's, whichever of the two is seen first.
    const HANDLE waits[] = {process, privileged};
    const DWORD count = privileged != nullptr ? 2 : 1;
    WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    // A service that is stopping closes the connection before its end
    // takes the core: a connection gone counts as the program's end.
    const bool privilegedEnded =
        privileged != nullptr &&
        (WaitForSingleObject(privileged, 0) == WAIT_OBJECT_0 || !PrivilegedClient::Connected());
    DWORD exitCode = 1;
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    if (privileged != nullptr) CloseHandle(privileged);
    // Silent when a stop or a failed start ended it, and when a stop that
    // timed out left this watcher behind and another core runs now.
    if (!ClaimCoreEnd(generation)) return;

    if (privilegedEnded) {
      EmitVpnEvent("error", kServiceEndedMessage);
      EmitVpnEvent("network_lost", "state query");
      return;
    }
    RemoveDnsPolicyRule("core exited");
    EmitVpnEvent(exitCode == 0 ? "idle" : "error",
                 "sing-box exited code=" + std::to_string(static_cast<unsigned long>(exitCode)));
    EmitVpnEvent("network_lost", "state query");
  } catch (...) {
    // Wall: nothing escapes a thread entry.
  }
}
