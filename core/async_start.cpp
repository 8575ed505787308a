// The start's worker and its answer. The state below is the window thread's;
// the worker writes only its outcome, before it says it is done.
#include "core/async_start.h"

#include <atomic>
#include <memory>
#include <utility>

#include "common/lasting_worker.h"
#include "core/privileged_client.h"
#include "core/vpn_events.h"

namespace {

struct InFlight {
  StartWork work;
  StartAnswer answer;
  // The outcome, written by the worker before `done`; after it, the worker
  // no longer touches the record.
  bool started = false;
  std::string error;
  std::atomic<bool> done{false};
};

std::unique_ptr<InFlight> inFlight;  // window thread only
std::atomic<bool> cancelled{false};

// Window thread: answers a start whose worker is done.
void Finish() {
  if (!inFlight || !inFlight->done.load()) return;
  const std::unique_ptr<InFlight> finished = std::move(inFlight);
  finished->answer(finished->started, finished->error);
}

void Work(InFlight* flight) {
  const StartWork work = std::move(flight->work);
  std::string error;
  bool started = false;
  try {
    started = work(error);
  } catch (...) {
    error = "Could not start VPN core";
  }
  flight->started = started;
  flight->error = std::move(error);
  flight->done.store(true);
  // Without a window (its end), EndStart answers instead.
  try {
    RunOnWindowThread(&Finish);
  } catch (...) {
  }
}

// The start's worker: the start let go at the window's end may still hold
// it, waiting on the prompt.
LastingWorker& TheWorker() {
  static LastingWorker* worker = new LastingWorker;
  return *worker;
}

}  // namespace

bool StartInFlight() { return inFlight != nullptr; }

void BeginStart(StartWork work, StartAnswer answer) {
  cancelled.store(false);
  auto flight = std::make_unique<InFlight>();
  flight->work = std::move(work);
  flight->answer = std::move(answer);
  InFlight* raw = flight.get();
  inFlight = std::move(flight);
  bool posted = false;
  try {
    posted = TheWorker().Post([raw] { Work(raw); });
  } catch (...) {
  }
  if (!posted) {
    const std::unique_ptr<InFlight> failed = std::move(inFlight);
    failed->answer(false, "Could not start VPN core");
  }
}

bool EndStart(ULONGLONG deadline) {
  if (!inFlight) return true;
  cancelled.store(true);
  PrivilegedClient::Disconnect();
  while (!inFlight->done.load() && GetTickCount64() < deadline) Sleep(10);
  Finish();
  return inFlight == nullptr;
}

bool StartCancelled() { return cancelled.load(); }

void AbandonStart() {
  if (!inFlight) return;
  // The start let go: the worker waits on the user (the prompt) or on the
  // service manager, and touches nothing of the core once it sees the
  // cancel. Its record is kept for it.
  (void)inFlight.release();
}
