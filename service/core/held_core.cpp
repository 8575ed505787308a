// Launching, resuming, terminating and releasing sing-box.exe for the
// client. The core runs in the VPN folder under %ProgramData%, which only
// SYSTEM and Administrators can change; nothing here touches a folder the
// user can write. Request thread of the service.
#include "service/core/held_core.h"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "service/core/adapter_sweep.h"
#include "service/core/config_writer.h"
#include "service/config_check/core_config_check.h"
#include "service/service_log.h"
#include "service/folders/vpn_folder.h"

namespace fs = std::filesystem;
using tovix::broker::Message;

namespace {

constexpr std::size_t kMaxConfigBytes = 4194304;
constexpr ULONGLONG kAdapterReleaseWaitMs = 3000;
constexpr DWORD kAdapterPollMs = 100;
constexpr DWORD kConfigDeliveryMs = 5000;
constexpr DWORD kWriterEndWaitMs = 100;
constexpr DWORD kClientProcessAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

struct HeldCore {
  std::uint64_t id = 0;
  tovix::UniqueHandle process;
  tovix::UniqueHandle thread;
  tovix::UniqueHandle job;
  tovix::UniqueHandle configWrite;
  std::string config;
  bool terminated = false;
};

// Written by the request thread only; `current` is also read by the DNS
// worker, so it is atomic.
HeldCore held;
std::atomic<std::uint64_t> current{0};
std::uint64_t lastId = 0;

std::atomic<bool> offerJobAtCreation{true};

void Forget() {
  current.store(0);
  flutter::WipeString(held.config);
  held = HeldCore{};
}

void Refuse(Message& reply, std::string message, bool endsLog) {
  reply.ok = false;
  reply.flag = endsLog;
  reply.text = std::move(message);
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
// for Windows to release their identity, or until `client` ends. The start
// goes on either way.
void SweepTunnelAdapters(HANDLE client) {
  const AdapterSweepResult sweep = AdapterSweep(true);
  ServiceLog::Write("[tun_sweep]", SweepLine(sweep));
  if (sweep.ours_left_behind == 0) return;
  std::uint32_t left = sweep.ours_left_behind;
  const ULONGLONG deadline = GetTickCount64() + kAdapterReleaseWaitMs;
  while (GetTickCount64() < deadline) {
    left = AdapterSweep(false).ours_left_behind;
    if (left == 0 || WaitForSingleObject(client, kAdapterPollMs) == WAIT_OBJECT_0) break;
  }
  ServiceLog::Write("[tun_sweep]", left == 0
                                       ? "adapter identity free"
                                       : "adapter identity still held after 3s; starting anyway");
}

// Both pipes are private. The core's two ends become inheritable only for
// the moment of its creation.
bool CreatePrivatePipe(tovix::UniqueHandle& readEnd, tovix::UniqueHandle& writeEnd) {
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, nullptr, 0)) return false;
  readEnd.reset(r);
  writeEnd.reset(w);
  return true;
}

bool CreateCoreJob(tovix::UniqueHandle& job, bool oneProcess) {
  job.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job) return false;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = CoreJobLimits(oneProcess);
  return SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits)) != FALSE;
}

std::wstring CoreCommandLine(const fs::path& core, const fs::path& folder) {
  return L"\"" + core.wstring() + L"\" run -c stdin -D \"" + folder.wstring() + L"\"";
}

// The core's start-up record: the handles it may inherit, listed one by one,
// and its job where the system can create a process inside one (Windows 10
// and later). The system keeps pointers into `handles_` and `job_`.
class CoreAttributeList {
 public:
  CoreAttributeList() = default;
  CoreAttributeList(const CoreAttributeList&) = delete;
  CoreAttributeList& operator=(const CoreAttributeList&) = delete;
  ~CoreAttributeList() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }

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

  if (!SetHandleInformation(stdIn, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
      !SetHandleInformation(stdOut, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    return false;
  }
  // No environment of the client's reaches the core: it gets the service's.
  const BOOL ok = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, folder.c_str(), &startup.StartupInfo, &created);
  const DWORD lastError = GetLastError();
  SetHandleInformation(stdIn, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(stdOut, HANDLE_FLAG_INHERIT, 0);
  SetLastError(lastError);
  return ok != FALSE;
}

// A handle of ours given to the client: its value there, or 0.
std::uint64_t HandTo(HANDLE client, HANDLE handle, DWORD access, DWORD options) {
  HANDLE theirs = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, client, &theirs, access, FALSE, options)) {
    return 0;
  }
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(theirs));
}

void CloseInClient(HANDLE client, std::uint64_t value) {
  if (value == 0) return;
  DuplicateHandle(client, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)), nullptr,
                  nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}

void LaunchSteps(const Message& request, HANDLE client, std::wstring_view ownerSid,
                 Message& reply) {
  if (held.process) return Refuse(reply, "already running", false);
  // `flag`: the client did not send its configuration (over the limit, or
  // its own folder could not be readied); it is refused where the launch
  // always refused such a one, after the checks and the sweep.
  const bool withheld = request.flag || request.text.size() > kMaxConfigBytes;
  if (!withheld) {
    const CoreConfigVerdict verdict = CheckCoreConfig(request.text);
    if (verdict.kind != CoreConfigVerdict::Accepted) {
      return Refuse(reply, CoreConfigRefusalMessage(verdict), true);
    }
  }

  const fs::path core = ExecutableSiblingPath(L"sing-box.exe");
  const fs::path driver = ExecutableSiblingPath(L"wintun.dll");
  ServiceLog::Write("[boot]", "singbox=" + ToUtf8(core.native()));
  ServiceLog::Write("[boot]", "wintun=" + ToUtf8(driver.native()));
  std::error_code ec;
  if (!fs::exists(core, ec)) {
    return Refuse(reply, "sing-box.exe not bundled at " + ToUtf8(core.native()), true);
  }
  if (!fs::exists(driver, ec)) {
    return Refuse(reply, "wintun.dll missing (required for tun inbound)", true);
  }

  SweepTunnelAdapters(client);

  fs::path folder;
  try {
    // Made anew (with an older sing-box state) if anything there is not ours.
    folder = EnsureUserVpnFolder(ownerSid);
  } catch (const std::exception&) {
    return Refuse(reply, "Could not prepare protected VPN configuration", true);
  }
  if (withheld ||
      (!DeleteFileW((folder / L"config.json").c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)) {
    return Refuse(reply, "Could not prepare protected VPN configuration", true);
  }

  tovix::UniqueHandle outputRead;
  tovix::UniqueHandle outputWrite;
  if (!CreatePrivatePipe(outputRead, outputWrite)) {
    return Refuse(reply, "CreatePipe failed", true);
  }
  tovix::UniqueHandle configRead;
  tovix::UniqueHandle configWrite;
  if (!CreatePrivatePipe(configRead, configWrite)) {
    return Refuse(reply, "Could not create protected configuration pipe", false);
  }
  tovix::UniqueHandle job;
  const bool oneProcess = CoreMayBeLimitedToOneProcess();
  if (!oneProcess) {
    ServiceLog::Write("[boot]",
                      "core process limit off: no SetInterfaceDnsSettings, the core may run netsh");
  }
  if (!CreateCoreJob(job, oneProcess)) {
    return Refuse(reply, "Could not establish VPN process ownership", false);
  }

  std::wstring commandLine = CoreCommandLine(core, folder);
  PROCESS_INFORMATION created{};
  bool jobAtCreation = false;
  bool createdCore = CreateCoreProcess(commandLine, folder, configRead.get(), outputWrite.get(),
                                       job.get(), offerJobAtCreation.load(), created, jobAtCreation);
  if (!createdCore && RetryCoreCreationWithoutJob(jobAtCreation, GetLastError())) {
    ServiceLog::Write("[boot]", "creation inside the job failed err=1359; once more without it");
    createdCore = CreateCoreProcess(commandLine, folder, configRead.get(), outputWrite.get(),
                                    job.get(), false, created, jobAtCreation);
  }
  if (!createdCore) {
    return Refuse(reply, "CreateProcess failed err=" + std::to_string(GetLastError()), true);
  }
  tovix::UniqueHandle process(created.hProcess);
  tovix::UniqueHandle thread(created.hThread);
  configRead.reset();
  outputWrite.reset();

  BOOL inJob = FALSE;
  jobAtCreation = jobAtCreation && IsProcessInJob(process.get(), job.get(), &inJob) && inJob;
  if (!jobAtCreation && !AssignProcessToJobObject(job.get(), process.get())) {
    TerminateProcess(process.get(), 1);
    return Refuse(reply, "Could not bind VPN process ownership", false);
  }
  ServiceLog::Write("[boot]", jobAtCreation ? "core_job=at_creation" : "core_job=assigned");

  // The client may wait on the core and ask for its exit code, nothing more;
  // the read end of its output moves to the client.
  const std::uint64_t waitable = HandTo(client, process.get(), kClientProcessAccess, 0);
  const std::uint64_t output = waitable == 0 ? 0
                                             : HandTo(client, outputRead.get(), 0,
                                                      DUPLICATE_SAME_ACCESS);
  if (waitable == 0 || output == 0) {
    CloseInClient(client, waitable);
    TerminateProcess(process.get(), 1);
    return Refuse(reply, "Could not establish VPN process ownership", false);
  }

  held.id = ++lastId;
  held.process = std::move(process);
  held.thread = std::move(thread);
  held.job = std::move(job);
  held.configWrite = std::move(configWrite);
  held.config = request.text;
  current.store(held.id);
  reply.ok = true;
  reply.core = held.id;
  reply.pid = created.dwProcessId;
  reply.process = waitable;
  reply.output = output;
}

// One write of the whole configuration into the core's standard input,
// within 5 s; a client that ends meanwhile ends the wait. A core that does
// not take it in time is ended here with exit code 1 (as the client would
// end it), which also ends a write that a cancel missed: a writer not yet
// inside WriteFile when the cancel comes would otherwise wait forever, and
// with it every later delivery.
bool DeliverConfig(HANDLE client) {
  ConfigWrite write;
  const bool started = write.Start(std::move(held.config), std::move(held.configWrite));
  flutter::WipeString(held.config);
  if (!started) return false;
  if (!write.Ended(kConfigDeliveryMs, client)) {
    write.Cancel();
    if (!write.Ended(kWriterEndWaitMs)) {
      held.terminated = true;
      current.store(0);
      TerminateProcess(held.process.get(), 1);
      for (int i = 0; i < 50 && !write.Ended(20); ++i) write.Cancel();
    }
    return false;
  }
  return write.Delivered();
}

bool IsHeld(std::uint64_t core) { return core != 0 && held.process && held.id == core; }

}  // namespace

void LaunchCore(const Message& request, HANDLE client, std::wstring_view ownerSid,
                Message& reply) {
  try {
    LaunchSteps(request, client, ownerSid, reply);
  } catch (const std::exception&) {
    Refuse(reply, "Could not start VPN core", false);
  }
}

void ResumeCore(std::uint64_t core, HANDLE client, Message& reply) {
  if (!IsHeld(core)) return Refuse(reply, "no such core", false);
  if (ResumeThread(held.thread.get()) == static_cast<DWORD>(-1)) {
    return Refuse(reply, "Could not resume VPN process", false);
  }
  if (!DeliverConfig(client)) return Refuse(reply, "Could not deliver VPN configuration", false);
  reply.ok = true;
}

void TerminateCore(std::uint64_t core, UINT exitCode, Message& reply) {
  if (!IsHeld(core)) return Refuse(reply, "no such core", false);
  current.store(0);
  // The first termination's code stands: a later one finds the core gone.
  if (held.terminated) {
    reply.ok = true;
    return;
  }
  held.terminated = true;
  reply.ok = TerminateProcess(held.process.get(), exitCode) != FALSE;
}

void ReleaseCore(std::uint64_t core, Message& reply) {
  if (!IsHeld(core)) return Refuse(reply, "no such core", false);
  Forget();
  reply.ok = true;
}

void ReleaseAnyCore() {
  if (held.process) TerminateProcess(held.process.get(), 1);
  Forget();
}

bool HeldCoreHasEnded() {
  return held.process && WaitForSingleObject(held.process.get(), 0) == WAIT_OBJECT_0;
}

std::uint64_t CurrentCore() { return current.load(); }

JOBOBJECT_EXTENDED_LIMIT_INFORMATION CoreJobLimits(bool oneProcess) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (oneProcess) {
    // The core and nothing it might start: the tor outbound, or any program
    // a configuration could name.
    limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
  }
  return limits;
}

bool CoreMayBeLimitedToOneProcess() {
  // From System32 only. It stays loaded: the DNS rule's worker uses it.
  const HMODULE iphlpapi = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return iphlpapi && GetProcAddress(iphlpapi, "SetInterfaceDnsSettings");
}

void OfferCoreJobAtCreation(bool offer) { offerJobAtCreation.store(offer); }

bool RetryCoreCreationWithoutJob(bool jobOffered, DWORD error) {
  // A system that takes the job attribute can still fail the creation with
  // it (Wine does now and then, with ERROR_INTERNAL_ERROR): one more try
  // without it, and the job is assigned after creation as where it is
  // unknown. Any other error would fail the second try the same way, or
  // worse, hide a refusal that the job attribute was right to cause.
  return jobOffered && error == ERROR_INTERNAL_ERROR;
}
