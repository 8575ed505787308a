// TovixService.exe as the installed service: the service manager's
// dispatcher, the control handler, status reporting, the folder check at each
// start, and the idle rule (the service ends itself once no core runs and no
// client has done anything for 60 s).
//
// The service's real work (the pipe server) plugs in as a ServiceWork: it
// runs on the service's main thread once the service is RUNNING, serves until
// `stopRequested` is signalled (a stop control, or the idle rule), ends any
// core and removes the DNS rule, and returns a Win32 exit code (0: a normal
// stop). It tells `idle` about clients and cores:
//   idle.ClientCame()   when a client is accepted,
//   idle.ClientActive() when a client sends a request,
//   idle.ClientLeft()   when that client's connection is gone,
//   idle.CoreStarted()  when a core is launched,
//   idle.CoreEnded()    when that core has ended or been released.
// Calls pair up; any thread may make them. While it waits for clients it also
// waits on idle.timer() and calls idle.Poll() when that goes off (or it waits
// in idle.WaitFor()): the rule has no thread of its own.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <mutex>

#include "common/unique_resource.h"

// Counts cores and notes when a client last did something, and calls
// `expired` once when no core has run and no client has come, sent a request
// or left for `delay`. A connection that only stays open does not count: a
// user who opens the pipe and says nothing more cannot keep the service (and
// with it whatever a later start needs) running. Starts idle: a service that
// nobody connects to ends as well. Its timer is a waitable timer that the serving thread waits
// on beside its own handles, calling Poll() when it goes off; so the rule
// costs no thread of its own.
class ServiceIdle {
 public:
  ServiceIdle(std::chrono::milliseconds delay, std::function<void()> expired);
  ServiceIdle(const ServiceIdle&) = delete;
  ServiceIdle& operator=(const ServiceIdle&) = delete;

  void ClientCame();
  void ClientActive();
  void ClientLeft();
  void CoreStarted();
  void CoreEnded();

  // Signalled (auto-reset) when the delay may have run out.
  HANDLE timer() const { return timer_.get(); }
  // The timer went off: calls `expired` on this thread if nobody has been
  // there for the whole delay; sets the timer for the rest if it went off
  // early; does nothing if somebody came meanwhile.
  void Poll();
  // Waits for `stop`, tending the timer meanwhile.
  void WaitFor(HANDLE stop);

 private:
  void Change(int& count, int by);
  void ArmIfIdle();  // mutex_ held
  void Touched();

  const std::chrono::milliseconds delay_;
  const std::function<void()> expired_;
  tovix::UniqueHandle timer_;
  std::mutex mutex_;  // guards the three below; nothing else is taken under it
  int cores_ = 0;
  std::chrono::steady_clock::time_point idleSince_;  // the last client's last deed
  bool fired_ = false;
};

using ServiceWork = std::function<DWORD(HANDLE stopRequested, ServiceIdle& idle)>;

// Runs this process as the service TovixService until it stops; `work` as
// above (empty: the service waits for a stop and does nothing else). Returns
// the program's exit code: 0 once the service has run, BadArguments (with its
// line on standard error) when the process was not started by the service
// manager. Main thread.
int RunAsService(ServiceWork work = {});

// Tests only, before RunAsService: the idle rule's delay in place of 60 s.
void SetServiceIdleDelay(std::chrono::milliseconds delay);
// The idle rule's delay: 60 s unless a test has set another.
std::chrono::milliseconds ServiceIdleDelay();
