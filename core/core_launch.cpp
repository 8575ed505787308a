// Launching sing-box.exe: a suspended child bound to a kill-on-close job,
// its output on one pipe (read by CoreOutputReader), its configuration on a
// second pipe as standard input (written by ConfigWriter, never to disk).
// StartCore runs on the window thread; ConfigWriter on a thread of its own.
#include "core/core_launch.h"

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "common/plain_folder.h"
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

// Both pipes are made private. The core's two ends become inheritable only
// for the moment of its creation (CreateCoreProcess), so that a process
// another thread of this host starts meanwhile cannot take them along.
bool CreatePrivatePipe(tovix::UniqueHandle& readEnd, tovix::UniqueHandle& writeEnd) {
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, nullptr, 0)) return false;
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

// The core's start-up record: the handles it may inherit, listed one by one,
// and its job where the system can create a process inside one (Windows 10
// and later; older systems refuse the attribute with ERROR_NOT_SUPPORTED).
// The system keeps pointers into `handles` and `job` until the list is gone.
class CoreAttributeList {
 public:
  CoreAttributeList() = default;
  CoreAttributeList(const CoreAttributeList&) = delete;
  CoreAttributeList& operator=(const CoreAttributeList&) = delete;
  ~CoreAttributeList() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }

  // False (last error set) when the handle list cannot be made; the job is
  // left out quietly when the system does not know the attribute.
  bool Build(HANDLE stdIn, HANDLE stdOut, HANDLE job, bool tryJob) {
    handles_[0] = stdIn;
    handles_[1] = stdOut;
    job_ = job;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 2, 0, &size)) return false;
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                   sizeof(handles_), nullptr, nullptr)) {
      return false;
    }
    jobAtCreation_ = tryJob && UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                                         &job_, sizeof(job_), nullptr, nullptr);
    return true;
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }
  bool JobAtCreation() const { return jobAtCreation_; }

 private:
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  HANDLE handles_[2] = {};
  HANDLE job_ = nullptr;
  bool jobAtCreation_ = false;
};

// Whether the launch offers the job at creation. Only tests turn it off, to
// take the path of a system without the attribute.
std::atomic<bool> offerJobAtCreation{true};

// Creates the core suspended, inheriting exactly `stdIn` and `stdOut` (as its
// standard input, output and error), inside `job` where the system supports
// that (`jobAtCreation` tells). False with the last error set on failure.
bool CreateCoreProcess(std::wstring& commandLine, const fs::path& folder, HANDLE stdIn,
                       HANDLE stdOut, HANDLE job, bool offerJob, PROCESS_INFORMATION& created,
                       bool& jobAtCreation) {
  CoreAttributeList attributes;
  if (!attributes.Build(stdIn, stdOut, job, offerJob)) return false;
  jobAtCreation = attributes.JobAtCreation();

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = stdIn;
  startup.StartupInfo.hStdOutput = stdOut;
  startup.StartupInfo.hStdError = stdOut;
  startup.lpAttributeList = attributes.get();

  // A handle list only carries inheritable handles: the two ends are
  // inheritable for this call alone.
  if (!SetHandleInformation(stdIn, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
      !SetHandleInformation(stdOut, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return false;
  }
  const BOOL ok = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, folder.c_str(), &startup.StartupInfo, &created);
  const DWORD lastError = GetLastError();
  SetHandleInformation(stdIn, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(stdOut, HANDLE_FLAG_INHERIT, 0);
  SetLastError(lastError);
  return ok != FALSE;
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

  if (!CreatePrivatePipe(CoreProcess.outputRead, CoreProcess.outputWrite)) {
    return FailAndEndLog(error, "CreatePipe failed");
  }

  // The launch's ends of the configuration pipe; whatever it still owns is
  // closed when this function returns.
  tovix::UniqueHandle configRead;
  tovix::UniqueHandle configWrite;
  if (!CreatePrivatePipe(configRead, configWrite)) {
    StopCore();
    return Fail(error, "Could not create protected configuration pipe");
  }

  if (!CreateKillOnCloseJob(CoreProcess.job)) {
    StopCore();
    return Fail(error, "Could not establish VPN process ownership");
  }

  std::wstring commandLine = CoreCommandLine(core, folder);
  PROCESS_INFORMATION created{};
  bool jobAtCreation = false;
  bool createdCore =
      CreateCoreProcess(commandLine, folder, configRead.get(), CoreProcess.outputWrite.get(),
                        CoreProcess.job.get(), offerJobAtCreation.load(), created, jobAtCreation);
  if (!createdCore && RetryCoreCreationWithoutJob(jobAtCreation, GetLastError())) {
    SessionLog::Write("[boot]", "creation inside the job failed err=1359; once more without it");
    createdCore =
        CreateCoreProcess(commandLine, folder, configRead.get(), CoreProcess.outputWrite.get(),
                          CoreProcess.job.get(), false, created, jobAtCreation);
  }
  if (!createdCore) {
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

  // Without the job attribute (or should a system take it and not honour
  // it) the core is bound before it runs its first instruction; a host that
  // dies in between leaves it suspended.
  BOOL inJob = FALSE;
  jobAtCreation = jobAtCreation &&
                  IsProcessInJob(CoreProcess.process.get(), CoreProcess.job.get(), &inJob) && inJob;
  if (!jobAtCreation &&
      !AssignProcessToJobObject(CoreProcess.job.get(), CoreProcess.process.get())) {
    StopCore();
    return Fail(error, "Could not bind VPN process ownership");
  }
  SessionLog::Write("[boot]", jobAtCreation ? "core_job=at_creation" : "core_job=assigned");

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

void OfferCoreJobAtCreation(bool offer) { offerJobAtCreation.store(offer); }

bool RetryCoreCreationWithoutJob(bool jobOffered, DWORD error) {
  // A system that takes the job attribute can still fail the creation with
  // it (Wine does now and then, with ERROR_INTERNAL_ERROR): one more try
  // without it, and the job is assigned after creation as where it is
  // unknown. Any other error would fail the second try the same way, or
  // worse, hide a refusal that the job attribute was right to cause.
  return jobOffered && error == ERROR_INTERNAL_ERROR;
}

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
