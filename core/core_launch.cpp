// Starting the VPN core. The privileged program launches sing-box.exe (a
// suspended child in its kill-on-close job, the configuration on standard
// input) and hands this process the read end of the core's output and a
// handle that can only wait on the core and read its exit code; this side
// keeps the session log, the events and the threads that watch the core.
// StartCore runs on the start's worker (async_start.h), or on the window
// thread of a test; never beside a stop.
#include "core/core_launch.h"

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "common/plain_folder.h"
#include "common/text.h"
#include "core/async_start.h"
#include "core/privileged_client.h"
#include "core/core_output.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"

namespace fs = std::filesystem;
using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr std::size_t kMaxConfigBytes = 4194304;
// The launch sweeps adapters (up to 3 s) and the resume hands over the
// configuration (up to 5 s); a privileged side that takes far longer is
// taken for gone.
constexpr DWORD kLaunchWaitMs = 30000;
constexpr DWORD kTerminateWaitMs = 5000;
constexpr DWORD kWatcherAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

// The start failed with `message`: it becomes the reply and the "error" event.
bool Fail(std::string& error, const std::string& message) {
  error = message;
  EmitVpnEvent("error", message);
  return false;
}

// The same, for the failures that close the session log themselves (after the
// event, so that its line is still logged).
bool FailAndEndLog(std::string& error, const std::string& message) {
  Fail(error, message);
  SessionLog::End();
  return false;
}

DWORD ParentProcessIdNow() {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  const DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
  }
  return 0;
}

// Fixed at this process's creation; the snapshot costs milliseconds at each
// start otherwise.
DWORD ParentProcessId() {
  static const DWORD parent = ParentProcessIdNow();
  return parent;
}

// "[app_owner]": who owns this process, and whether its own job would end
// the core with it.
std::string OwnershipProbe() {
  BOOL inJob = FALSE;
  const bool known = IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) != FALSE;
  std::string inJobText = known ? (inJob ? "yes" : "no") : "unknown";
  std::string killText = "unknown";
  if (known && !inJob) {
    killText = "no_job";
  } else if (known) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                  sizeof(limits), nullptr)) {
      killText = (limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)
                     ? "yes"
                     : "no";
    }
  }
  DWORD consoleProcesses[16] = {};
  const DWORD consoleCount = GetConsoleProcessList(consoleProcesses, 16);
  return "pid=" + std::to_string(GetCurrentProcessId()) +
         " parent=" + std::to_string(ParentProcessId()) + " in_job=" + inJobText +
         " job_kill_on_close=" + killText + " console_processes=" + std::to_string(consoleCount);
}

// A handle value the privileged program made in this process.
HANDLE HandedHandle(std::uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// "config.json" in the data folder is gone (or was never there).
bool DeleteStaleConfig(const fs::path& folder) {
  return DeleteFileW((folder / L"config.json").c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

void WriteLines(const Message& reply) {
  for (const tovix::broker::LogLine& line : reply.lines) SessionLog::Write(line.tag, line.text);
}

// The privileged program, started (through the elevation prompt) if it does
// not run yet. What it swept at its start goes into the session log that
// opens next.
bool EnsurePrivilegedSide(std::string& error) {
  std::optional<PrivilegedClient::Hello> hello;
  if (!PrivilegedClient::Ensure(error, hello)) return false;
  if (hello && hello->sweptLeftoverRule) {
    SessionLog::SetPendingDnsNote("swept a rule left by a previous session");
  } else if (hello && hello->guardRemovedRule) {
    SessionLog::SetPendingDnsNote("guard removed the rule of a host that ended while connected");
  }
  return true;
}

bool StartCoreThreads(std::uint64_t generation, std::string& error) {
  try {
    CoreProcess.readerControl = std::make_shared<CoreReaderControl>();
    CoreProcess.readerThread = std::thread(CoreOutputReader);
  } catch (const std::system_error&) {
    StopCore();
    return Fail(error, "Could not start the VPN output monitor");
  }
  HANDLE watched = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), CoreProcess.process.get(), GetCurrentProcess(),
                      &watched, kWatcherAccess, FALSE, 0)) {
    HANDLE privileged = PrivilegedClient::DuplicateProcess();
    try {
      CoreProcess.watcherThread = std::thread(ExitWatcher, watched, privileged, generation);
    } catch (const std::system_error&) {
      CloseHandle(watched);
      if (privileged != nullptr) CloseHandle(privileged);
      StopCore();
      return Fail(error, "Could not start the VPN exit watcher");
    }
  }
  return true;
}

bool StartCoreSteps(const std::string& config, std::string& error) {
  if (CoreProcess.running.load()) {
    error = "already running";
    return false;
  }
  StopCore();
  RetireEarlierCores();

  fs::path folder;
  try {
    folder = dataDir();
  } catch (const std::exception&) {
    return Fail(error, "Could not prepare the VPN data folder");
  }
  // Nothing under the folder is touched (not even the session log) while it
  // or its "logs" folder is a link.
  try {
    RequirePlainDataFolder(folder);
  } catch (const DataFolderIsLink&) {
    return Fail(error, kDataFolderIsLinkMessage);
  }
  // The privileged side once the data folder is known to be usable (no
  // prompt for a start that cannot log), before the session log opens, so
  // that the log carries what its start swept.
  if (!EnsurePrivilegedSide(error)) return Fail(error, error);
  // A stop that came while the privileged side was being had ends the
  // start here, before anything is launched.
  if (StartCancelled()) {
    PrivilegedClient::Disconnect();
    return Fail(error, "the start was stopped");
  }
  try {
    SessionLog::Open(folder);
  } catch (const std::exception&) {
    // An open that failed in its folder scan may still have left a log open.
    return FailAndEndLog(error, "Could not open the session log");
  }

  SessionLog::Write("[app_owner]", OwnershipProbe());
  EmitVpnEvent("starting", "preparing protected configuration pipe");

  // The configuration file an older version left in the data folder goes
  // before any core exists. When it cannot go, or the configuration is over
  // the limit (then it is not sent), the privileged side makes its checks
  // and refuses the launch where it would have refused an oversized one.
  Message request;
  const bool staleConfigGone = DeleteStaleConfig(folder);
  request.flag = !staleConfigGone || config.size() > kMaxConfigBytes;
  if (!request.flag) request.text = config;
  const std::optional<Message> launched =
      PrivilegedClient::Call(Kind::Launch, std::move(request), kLaunchWaitMs);
  if (!launched) {
    // Broken, or no answer in time: the connection goes, and the privileged
    // side ends whatever it launched for it (its lifeline). A reply that
    // still comes is let go with its handles.
    PrivilegedClient::Disconnect();
    return FailAndEndLog(error, kServiceEndedMessage);
  }
  WriteLines(*launched);
  if (!launched->ok) {
    if (launched->flag) return FailAndEndLog(error, launched->text);
    StopCore();
    return Fail(error, launched->text);
  }
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    CoreProcess.process.reset(HandedHandle(launched->process));
    CoreProcess.outputRead.reset(HandedHandle(launched->output));
    CoreProcess.pid = launched->pid;
    CoreProcess.brokerCore = launched->core;
  }

  const std::uint64_t generation = MarkCoreRunning();
  EmitVpnEvent("starting", "pid=" + std::to_string(CoreProcess.pid));

  // The core is resumed while its reader and watcher start: its first
  // output waits in the pipe meanwhile, and an early end in its process.
  auto resumeReply = std::make_shared<std::promise<std::optional<Message>>>();
  std::future<std::optional<Message>> resumeAnswered = resumeReply->get_future();
  Message resume;
  resume.core = launched->core;
  const bool resumeSent = PrivilegedClient::CallAsync(
      Kind::Resume, std::move(resume),
      [resumeReply](const std::optional<Message>& reply) { resumeReply->set_value(reply); });

  if (!StartCoreThreads(generation, error)) return false;

  std::optional<Message> resumed;
  if (resumeSent && resumeAnswered.wait_for(std::chrono::milliseconds(kLaunchWaitMs)) ==
                        std::future_status::ready) {
    resumed = resumeAnswered.get();
  }
  if (!resumed || !resumed->ok) {
    const std::string message = resumed ? resumed->text : std::string(kServiceEndedMessage);
    // Not reported as an unexpected exit: the launch ends this core itself,
    // with exit code 1, before the stop that follows.
    CoreProcess.running.exchange(false);
    if (resumed) {
      Message terminate;
      terminate.core = launched->core;
      terminate.flag = true;
      PrivilegedClient::Call(Kind::Terminate, std::move(terminate), kTerminateWaitMs);
    } else {
      PrivilegedClient::Disconnect();  // the lifeline ends the core
    }
    StopCore();
    return Fail(error, message);
  }
  return true;
}

}  // namespace

bool StartCore(const std::string& config, std::string& error) {
  try {
    return StartCoreSteps(config, error);
  } catch (const std::exception&) {
    // Out of memory or the like half-way through: leave nothing behind.
  }
  try {
    StopCore();
    return Fail(error, "Could not start VPN core");
  } catch (...) {
    error = "Could not start VPN core";
    return false;
  }
}
