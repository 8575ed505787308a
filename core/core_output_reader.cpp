// The core output reader thread: drains the core's stdout/stderr pipe in
// 4096-byte reads and binds the line decisions of core_output.cpp to the
// host: events, the session and core logs, the protected reports and the DNS
// policy worker. One thread per core; it never joins anything.
#include <windows.h>

#include <array>

#include "common/paths.h"
#include "common/plain_folder.h"
#include "core/core_output.h"
#include "core/core_process.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "core/dns_rule_requests.h"
#include "protected/protected_file.h"

namespace {

// Bound to one core, `generation`. Once a newer launch has begun, nothing of
// it reaches the host: a reader left behind by a stop that timed out never
// speaks for the core started after it, nor writes into that core's session
// log, core log or reports. Each decision and its effect are one step under
// CoreLock, except the core log's lines, which are checked without the lock
// (one check per line would otherwise contend with every event).
class ReaderActions final : public CoreOutputActions {
 public:
  ReaderActions(std::uint32_t pid, std::uint64_t generation) : pid_(pid), generation_(generation) {}

  void Emit(std::string_view state, std::string_view message) override {
    // "running" only while the core is still wanted: a stop clears `running`
    // before it queues "stopping", so "running" can never follow it.
    if (state == "running") {
      EmitVpnEventIf(state, message, [this] { return Wanted(); });
    } else {
      EmitVpnEventIf(state, message, [this] { return Current(); });
    }
  }
  void Log(std::string_view tag, std::string_view text) override {
    IfCurrentCore(generation_, [&] { SessionLog::Write(tag, text); });
  }
  void WriteCore(std::string_view text) override {
    if (Current()) SessionLog::WriteCore(text);
  }
  bool StillWanted() override { return Wanted(); }
  void StartDnsPolicy() override { StartDnsPolicyApply(generation_); }
  void SaveReport(CoreReport report, const std::string& text) override {
    // A report of an earlier core is dropped without a word (its
    // "[diagnostic]" line is dropped the same way).
    IfCurrentCore(generation_, [&] {
      const std::filesystem::path folder = dataDir();
      RequirePlainDataFolder(folder);
      ProtectedFile::Write(folder / CoreReportFileName(report), text);
    });
  }
  std::string Stamp() override { return LineStamp(); }
  std::uint32_t Pid() override { return pid_; }

 private:
  bool Current() const { return CoreProcess.coreGeneration.load() == generation_; }
  bool Wanted() const { return CoreProcess.running.load() && Current(); }

  std::uint32_t pid_;
  std::uint64_t generation_;
};

}  // namespace

void CoreOutputReader() {
  // The launch sets the pipe end, the pid and the generation before it starts
  // this thread, and a stop only forgets them after the thread is done or
  // detached, so they are read once here, without CoreLock.
  const HANDLE pipe = CoreProcess.outputRead.get();
  const std::shared_ptr<CoreReaderControl> control = CoreProcess.readerControl;
  if (control) control->threadId.store(GetCurrentThreadId());
  ReaderActions actions(CoreProcess.pid, CoreProcess.coreGeneration.load());
  CoreLineState state;
  std::array<char, kCoreReadSize> buffer;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ||
        got == 0) {
      break;  // broken pipe: the core has ended; a read error counts the same
    }
    try {
      FeedCoreOutput(state, std::string_view(buffer.data(), got), actions);
    } catch (...) {
      // Wall: whatever failed, the pipe keeps being drained so that the core
      // never blocks on a full pipe. The line in progress is given up.
      state.line.clear();
      state.truncated = false;
      state.droppedFatal = false;
      state.droppedAdapterConflict = false;
      state.droppedTail.clear();
    }
  }
  try {
    FinishCoreOutput(state, actions);
  } catch (...) {
  }
  if (control) {
    control->finished.store(true);
    SetEvent(control->done.get());
  }
}
