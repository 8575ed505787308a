// The service's dispatcher, control handler and idle timer. ServiceMain runs
// on the dispatcher's thread, the handler on the main thread (inside
// StartServiceCtrlDispatcherW), the idle rule on the thread that serves.
#include "service/service_host.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "common/error_line.h"
#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/folders/install_folder.h"

namespace {

using tovix::service_setup::Outcome;

constexpr auto kIdleDelay = std::chrono::seconds(60);
constexpr DWORD kStartHintMs = 5000;
constexpr DWORD kStopHintMs = 10000;
constexpr DWORD kStopReportMarginMs = 2000;

// The one service of this process. `status` is guarded by `statusMutex`
// (ServiceMain and the handler both report); the rest is set before the
// handler can run and read-only after.
struct Host {
  ServiceWork work;
  std::chrono::milliseconds idleDelay = kIdleDelay;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  tovix::UniqueHandle stopRequested;
  std::mutex statusMutex;
  SERVICE_STATUS status{};
};
Host gHost;

// Sets `timer` to go off once, `after` from now (at least 100 ns).
void ArmOnce(HANDLE timer, std::chrono::steady_clock::duration after) {
  LARGE_INTEGER due;
  // Negative: relative to now, in 100 ns units.
  due.QuadPart = -std::max<LONGLONG>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(after).count() / 100, 1);
  SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
}

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD specificCode = 0, DWORD hintMs = 0) {
  std::lock_guard lock(gHost.statusMutex);
  SERVICE_STATUS& status = gHost.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = specificCode;
  status.dwWaitHint = hintMs;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
  SetServiceStatus(gHost.statusHandle, &status);
}

// A stop that has not ended the process within its hint ends it here: the
// core goes with the job, the rule with the guard. The service manager is
// told first (Wine's does not notice a process that just ends), so that a
// removal waiting for the stop goes ahead.
DWORD WINAPI EndAfterStopHint(void*) {
  Sleep(kStopHintMs - kStopReportMarginMs);
  Report(SERVICE_STOPPED, ERROR_TIMEOUT);
  TerminateProcess(GetCurrentProcess(), ERROR_TIMEOUT);
  return 0;
}

void ArmStopDeadline() {
  static std::once_flag armed;
  std::call_once(armed, [] {
    HANDLE thread = CreateThread(nullptr, 0, EndAfterStopHint, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  });
}

// A stop, asked for or decided by the idle rule. STOP_PENDING goes out before
// the serving thread hears of it, so that while the pipe is still open a
// client that checks the service's state sees it on its way out rather than
// running.
void BeginStop() {
  Report(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopHintMs);
  SetEvent(gHost.stopRequested.get());
  ArmStopDeadline();
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      BeginStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

DWORD Serve() {
  ServiceIdle idle(gHost.idleDelay, BeginStop);
  if (gHost.work) return gHost.work(gHost.stopRequested.get(), idle);
  idle.WaitFor(gHost.stopRequested.get());
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  gHost.statusHandle =
      RegisterServiceCtrlHandlerExW(tovix::service_setup::kServiceName, Handler, nullptr);
  if (!gHost.statusHandle) return;
  Report(SERVICE_START_PENDING, NO_ERROR, 0, kStartHintMs);
  gHost.stopRequested.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!gHost.stopRequested) {
    Report(SERVICE_STOPPED, GetLastError());
    return;
  }
  // Checked at every start: the folder may have been opened up since the
  // install, and then nothing of it is run as SYSTEM.
  bool folderSound = false;
  try {
    folderSound = OwnFolderIsAdminOnly();
  } catch (const std::exception&) {
  }
  if (!folderSound) {
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR,
           static_cast<DWORD>(Outcome::FolderNotAdminOnly));
    return;
  }
  Report(SERVICE_RUNNING);
  DWORD exitCode = NO_ERROR;
  try {
    exitCode = Serve();
  } catch (const std::exception&) {
    exitCode = ERROR_INTERNAL_ERROR;
  }
  Report(SERVICE_STOPPED, exitCode);
}

}  // namespace

ServiceIdle::ServiceIdle(std::chrono::milliseconds delay, std::function<void()> expired)
    : delay_(delay),
      expired_(std::move(expired)),
      timer_(CreateWaitableTimerW(nullptr, FALSE, nullptr)) {
  if (!timer_) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "create the idle timer");
  }
  std::lock_guard lock(mutex_);
  idleSince_ = std::chrono::steady_clock::now();
  ArmIfIdle();
}

void ServiceIdle::ClientCame() { Touched(); }
void ServiceIdle::ClientActive() { Touched(); }
void ServiceIdle::ClientLeft() { Touched(); }

void ServiceIdle::Touched() {
  std::lock_guard lock(mutex_);
  idleSince_ = std::chrono::steady_clock::now();
  ArmIfIdle();
}
void ServiceIdle::CoreStarted() { Change(cores_, 1); }
void ServiceIdle::CoreEnded() { Change(cores_, -1); }

void ServiceIdle::Change(int& count, int by) {
  std::lock_guard lock(mutex_);
  // An unpaired "ended" is ignored rather than let it hide a later start.
  if (count + by < 0) return;
  count += by;
  // The last core's end starts the idle stretch.
  if (cores_ == 0) idleSince_ = std::chrono::steady_clock::now();
  ArmIfIdle();
}

void ServiceIdle::ArmIfIdle() {
  if (fired_ || cores_ != 0) {
    // A signal already given stays; Poll then finds the count and does
    // nothing.
    CancelWaitableTimer(timer_.get());
    return;
  }
  ArmOnce(timer_.get(), delay_ - (std::chrono::steady_clock::now() - idleSince_));
}

void ServiceIdle::Poll() {
  {
    std::lock_guard lock(mutex_);
    if (fired_ || cores_ != 0) return;
    const auto idleFor = std::chrono::steady_clock::now() - idleSince_;
    if (idleFor < delay_) {
      // Early by the timer's granularity, or somebody did something since it
      // was set: wait out the rest.
      ArmOnce(timer_.get(), delay_ - idleFor);
      return;
    }
    fired_ = true;
  }
  expired_();
}

void ServiceIdle::WaitFor(HANDLE stop) {
  const HANDLE waits[] = {stop, timer_.get()};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) Poll();
}

void SetServiceIdleDelay(std::chrono::milliseconds delay) { gHost.idleDelay = delay; }
std::chrono::milliseconds ServiceIdleDelay() { return gHost.idleDelay; }

int RunAsService(ServiceWork work) {
  gHost.work = std::move(work);
  std::wstring name = tovix::service_setup::kServiceName;
  const SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    // Started by hand rather than by the service manager.
    WriteErrorLine(tovix::service_setup::MessageOf(Outcome::BadArguments));
    return static_cast<int>(Outcome::BadArguments);
  }
  return 0;
}
