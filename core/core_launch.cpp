// Launching sing-box.exe: a suspended child bound to a kill-on-close job,
// its output on one pipe (read by CoreOutputReader), its configuration on a
// second pipe as standard input (written by ConfigWriter, never to disk).
// StartCore runs on the window thread; ConfigWriter on a thread of its own.
#include "core/core_launch.h"

#include <windows.h>
#include <tlhelp32.h>

#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "common/paths.h"
#include "common/text.h"
#include "core/core_output.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "network/adapter_sweep.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxConfigBytes = 4194304;
constexpr ULONGLONG kAdapterReleaseWaitMs = 3000;
constexpr DWORD kAdapterPollMs = 100;
constexpr DWORD kConfigDeliveryMs = 5000;
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

DWORD ParentProcessId() {
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

std::string SweepLine(const AdapterSweepResult& sweep) {
  std::string line = "wintun_nodes=" + std::to_string(sweep.wintun_nodes) +
                     " ours_left_behind=" + std::to_string(sweep.ours_left_behind) +
                     " removed=" + std::to_string(sweep.removed) +
                     " live_kept=" + std::to_string(sweep.live_kept);
  if (!sweep.names.empty()) line += " names=[" + sweep.names + "]";
  return line;
}

// Sweeps phantom adapters of ours; if some were left behind, waits up to 3 s
// for Windows to release their identity. The start goes on either way.
void SweepTunnelAdapters() {
  const AdapterSweepResult sweep = AdapterSweep(true);
  SessionLog::Write("[tun_sweep]", SweepLine(sweep));
  if (sweep.ours_left_behind == 0) return;
  std::uint32_t left = sweep.ours_left_behind;
  const ULONGLONG deadline = GetTickCount64() + kAdapterReleaseWaitMs;
  while (GetTickCount64() < deadline) {
    left = AdapterSweep(false).ours_left_behind;
    if (left == 0) break;
    Sleep(kAdapterPollMs);
  }
  SessionLog::Write("[tun_sweep]", left == 0
                                       ? "adapter identity free"
                                       : "adapter identity still held after 3s; starting anyway");
}

// Deletes a stale "config.json"; false when it exists and cannot be deleted.
bool DeleteStaleConfig(const fs::path& folder) {
  std::error_code ec;
  fs::remove(folder / L"config.json", ec);  // an absent file is no error
  return !ec;
}

// Both pipes are inheritable at creation; the parent's ends are then made
// private so that the child inherits only its own ends.
bool CreateInheritablePipe(tovix::UniqueHandle& readEnd, tovix::UniqueHandle& writeEnd) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = TRUE;
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, &attributes, 0)) return false;
  readEnd.reset(r);
  writeEnd.reset(w);
  return true;
}

bool CreateKillOnCloseJob(tovix::UniqueHandle& job) {
  job.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job) return false;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  return SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits)) != FALSE;
}

std::wstring CoreCommandLine(const fs::path& core, const fs::path& folder) {
  return L"\"" + core.wstring() + L"\" run -c stdin -D \"" + folder.wstring() + L"\"";
}

// One WriteFile of the whole configuration into the core's standard input.
struct ConfigWriterJob {
  const std::string* config = nullptr;
  HANDLE pipe = nullptr;  // owned by the writer, which closes it
  bool delivered = false;
};

DWORD WINAPI ConfigWriter(void* parameter) {
  auto* job = static_cast<ConfigWriterJob*>(parameter);
  DWORD written = 0;
  const DWORD length = static_cast<DWORD>(job->config->size());
  const BOOL ok = WriteFile(job->pipe, job->config->data(), length, &written, nullptr);
  job->delivered = ok && written == length;
  CloseHandle(job->pipe);
  job->pipe = nullptr;
  return 0;
}

// Hands the configuration to the core within 5 s. On time-out the core is
// ended (exit code 1) and the blocked write cancelled.
bool DeliverConfig(const std::string& config, tovix::UniqueHandle& configWrite) {
  ConfigWriterJob job;
  job.config = &config;
  job.pipe = configWrite.get();
  tovix::UniqueHandle writer(CreateThread(nullptr, 0, ConfigWriter, &job, 0, nullptr));
  if (!writer) return false;  // the pipe end stays with the caller, who closes it
  configWrite.release();      // the writer closes it, whatever happens

  if (WaitForSingleObject(writer.get(), kConfigDeliveryMs) != WAIT_OBJECT_0) {
    // Not reported as an unexpected exit: the launch ends this core itself.
    CoreProcess.running.exchange(false);
    TerminateProcess(CoreProcess.process.get(), 1);
    CancelSynchronousIo(writer.get());
    WaitForSingleObject(writer.get(), INFINITE);
    return false;
  }
  return job.delivered;
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
    try {
      CoreProcess.watcherThread = std::thread(ExitWatcher, watched, generation);
    } catch (const std::system_error&) {
      CloseHandle(watched);
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

  fs::path folder;
  try {
    folder = dataDir();
  } catch (const std::exception&) {
    return Fail(error, "Could not prepare the VPN data folder");
  }
  try {
    SessionLog::Open(folder);
  } catch (const std::exception&) {
    // An open that failed in its folder scan may still have left a log open.
    return FailAndEndLog(error, "Could not open the session log");
  }

  SessionLog::Write("[app_owner]", OwnershipProbe());
  EmitVpnEvent("starting", "preparing protected configuration pipe");

  const fs::path core = ExecutableSiblingPath(L"sing-box.exe");
  const fs::path driver = ExecutableSiblingPath(L"wintun.dll");
  SessionLog::Write("[boot]", "singbox=" + ToUtf8(core.native()));
  SessionLog::Write("[boot]", "wintun=" + ToUtf8(driver.native()));
  std::error_code ec;
  if (!fs::exists(core, ec)) {
    return FailAndEndLog(error, "sing-box.exe not bundled at " + ToUtf8(core.native()));
  }
  if (!fs::exists(driver, ec)) {
    return FailAndEndLog(error, "wintun.dll missing (required for tun inbound)");
  }

  SweepTunnelAdapters();

  if (!DeleteStaleConfig(folder) || config.size() > kMaxConfigBytes) {
    return FailAndEndLog(error, "Could not prepare protected VPN configuration");
  }

  if (!CreateInheritablePipe(CoreProcess.outputRead, CoreProcess.outputWrite)) {
    return FailAndEndLog(error, "CreatePipe failed");
  }
  SetHandleInformation(CoreProcess.outputRead.get(), HANDLE_FLAG_INHERIT, 0);

  // The launch's ends of the configuration pipe; whatever it still owns is
  // closed when this function returns.
  tovix::UniqueHandle configRead;
  tovix::UniqueHandle configWrite;
  if (!CreateInheritablePipe(configRead, configWrite) ||
      !SetHandleInformation(configWrite.get(), HANDLE_FLAG_INHERIT, 0)) {
    StopCore();
    return Fail(error, "Could not create protected configuration pipe");
  }

  if (!CreateKillOnCloseJob(CoreProcess.job)) {
    StopCore();
    return Fail(error, "Could not establish VPN process ownership");
  }

  std::wstring commandLine = CoreCommandLine(core, folder);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = configRead.get();
  startup.hStdOutput = CoreProcess.outputWrite.get();
  startup.hStdError = CoreProcess.outputWrite.get();
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                      &created)) {
    const DWORD lastError = GetLastError();
    CoreProcess.outputRead.reset();
    CoreProcess.outputWrite.reset();
    CoreProcess.job.reset();
    return FailAndEndLog(error, "CreateProcess failed err=" + std::to_string(lastError));
  }
  CoreProcess.process.reset(created.hProcess);
  CoreProcess.thread.reset(created.hThread);
  CoreProcess.pid = created.dwProcessId;
  CoreProcess.tid = created.dwThreadId;
  configRead.reset();

  if (!AssignProcessToJobObject(CoreProcess.job.get(), CoreProcess.process.get())) {
    StopCore();
    return Fail(error, "Could not bind VPN process ownership");
  }

  const std::uint64_t generation = MarkCoreRunning();
  CoreProcess.outputWrite.reset();
  EmitVpnEvent("starting", "pid=" + std::to_string(CoreProcess.pid));

  if (!StartCoreThreads(generation, error)) return false;

  if (ResumeThread(CoreProcess.thread.get()) == static_cast<DWORD>(-1)) {
    StopCore();
    return Fail(error, "Could not resume VPN process");
  }

  if (!DeliverConfig(config, configWrite)) {
    StopCore();
    return Fail(error, "Could not deliver VPN configuration");
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
