// VPN state events: every event is logged, becomes the state that "status"
// reports, and is queued for the UI; the window thread drains the queue into
// the "kelpmarrow.vpn/events" sink. EmitVpnEvent runs on any thread; the
// drain and the stream handler run on the window thread.
#include "core/vpn_events.h"

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "channels/encodable_value.h"
#include "channels/event_sink.h"
#include "channels/stream_handler_functions.h"
#include "core/core_process.h"
#include "core/vpn_event_poster.h"
#include "diagnostics/session_log.h"

namespace {

// Event state, all guarded by CoreLock (which sits before the session log's
// lock in the lock order; no event is emitted while it is held).
std::string lastVpnState = "idle";
std::unique_ptr<flutter::EventSink> eventSink;
HWND eventWindow = nullptr;
std::deque<VpnEvent> pendingEvents;
// Work for the window thread (RunOnWindowThread), run after the events
// queued before it.
std::deque<std::function<void()>> pendingWork;

// A VpnEventMessage has been posted and its drain has not started yet. While
// it is set, further events ride on that message instead of posting their
// own: a burst of events then costs one slot of the window thread's posted
// message queue (10,000 messages at most) rather than one per event, so the
// burst can neither overflow the queue nor crowd out the engine's messages.
bool wakePosted = false;
ULONGLONG wakePostedAt = 0;
// A wake that has not been drained after this long is posted again, so that a
// message lost on its way (for instance removed by a foreign message loop)
// cannot hold events back. A later event re-posts it; when none comes, the
// wake timer does. Extra wakes find an empty queue.
// Guarded by CoreLock; a test may set another (SetVpnEventRepostDelay).
constexpr ULONGLONG kDefaultRepostAfterMs = 1000;
ULONGLONG repostAfterMs = kDefaultRepostAfterMs;
// Thread-pool timer armed with every posted wake; made on first use, closed
// by ResetVpnEventDelivery. Guarded by CoreLock.
PTP_TIMER wakeTimer = nullptr;

std::atomic<VpnEventPoster> eventPoster{&::PostMessageW};

void CALLBACK OnWakeTimer(PTP_CALLBACK_INSTANCE, void*, PTP_TIMER);

// CoreLock held. A failure to make the timer leaves only the re-post by a
// later event, as before.
void ArmWakeTimer() {
  if (wakeTimer == nullptr) wakeTimer = ::CreateThreadpoolTimer(&OnWakeTimer, nullptr, nullptr);
  if (wakeTimer == nullptr) return;
  // Relative due time: negative, in units of 100 ns.
  const LONGLONG due = -static_cast<LONGLONG>(repostAfterMs) * 10000;
  FILETIME dueTime{static_cast<DWORD>(due & 0xFFFFFFFF), static_cast<DWORD>(due >> 32)};
  ::SetThreadpoolTimer(wakeTimer, &dueTime, 0, 0);
}

// Posts a wake for the queued events (CoreLock held). False when the post
// failed: the posted-message queue is full, and the caller must wake the
// window thread by another road once it has let go of CoreLock.
bool PostWake(ULONGLONG now) {
  if (eventPoster.load()(eventWindow, VpnEventMessage, 0, 0)) {
    wakePosted = true;
    wakePostedAt = now;
    ArmWakeTimer();
    return true;
  }
  wakePosted = false;
  return false;
}

// A thread-pool thread, never the window thread: a wake not drained within
// repostAfterMs is posted again, until a drain comes.
void CALLBACK OnWakeTimer(PTP_CALLBACK_INSTANCE, void*, PTP_TIMER) {
  try {
    HWND notifyWindow = nullptr;
    {
      std::lock_guard<std::mutex> lock(CoreLock);
      if (!wakePosted || eventWindow == nullptr || (pendingEvents.empty() && pendingWork.empty())) {
        return;
      }
      if (!PostWake(::GetTickCount64())) notifyWindow = eventWindow;
    }
    // A sent (not posted) message does not count against the posted-message
    // quota; SendNotifyMessageW returns at once for another thread's window.
    if (notifyWindow != nullptr) ::SendNotifyMessageW(notifyWindow, VpnEventMessage, 0, 0);
  } catch (...) {
    // Wall: an OS callback.
  }
}

std::string EventTag(std::string_view state) {
  std::string tag;
  tag.reserve(state.size() + 8);
  tag += "[EVENT:";
  tag += state;
  tag += "]";
  return tag;
}

flutter::EncodableValue EventValue(const VpnEvent& event) {
  return flutter::EncodableValue(flutter::EncodableMap{
      {flutter::EncodableValue("state"), flutter::EncodableValue(event.state)},
      {flutter::EncodableValue("message"), flutter::EncodableValue(event.message)},
  });
}

}  // namespace

namespace {

void WriteEventLine(std::string_view state, std::string_view message) {
  // A failing log must not keep the event from the UI.
  try {
    SessionLog::Write(EventTag(state), message);
  } catch (...) {
  }
}

// How the window thread is to be woken once CoreLock is let go.
struct Wake {
  bool drainHere = false;
  HWND notifyWindow = nullptr;
};

// Makes sure a drain comes for what was just queued; CoreLock held.
Wake ScheduleDrain() {
  const ULONGLONG now = ::GetTickCount64();
  if (wakePosted && now - wakePostedAt < repostAfterMs) return {};
  if (PostWake(now)) return {};
  // The post failed (the posted-message queue is full). The event is queued,
  // but nothing may come to drain it: wake the window thread by another
  // road, after letting go of CoreLock.
  if (::GetWindowThreadProcessId(eventWindow, nullptr) == ::GetCurrentThreadId()) {
    return {true, nullptr};
  }
  return {false, eventWindow};
}

// Records and queues the event; CoreLock held.
Wake RecordEvent(std::string_view state, std::string_view message) {
  lastVpnState.assign(state);
  if (eventWindow == nullptr) return {};
  pendingEvents.push_back(VpnEvent{std::string(state), std::string(message)});
  return ScheduleDrain();
}

// CoreLock not held.
void Deliver(const Wake& wake) {
  if (wake.drainHere) {
    // Already on the window thread: deliver now.
    DrainVpnEvents();
  } else if (wake.notifyWindow != nullptr) {
    // A sent (not posted) message does not count against the posted-message
    // quota; SendNotifyMessageW returns at once for another thread's window.
    ::SendNotifyMessageW(wake.notifyWindow, VpnEventMessage, 0, 0);
  }
}

}  // namespace

void EmitVpnEvent(std::string_view state, std::string_view message) {
  // The log line comes first and outside CoreLock: nothing here depends on
  // CoreLock's state, and the lock is held no longer than the queueing.
  WriteEventLine(state, message);
  Wake wake;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    wake = RecordEvent(state, message);
  }
  Deliver(wake);
}

bool EmitVpnEventIf(std::string_view state, std::string_view message,
                    const std::function<bool()>& holds) {
  Wake wake;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    if (!holds()) return false;
    // Under CoreLock (the session log's lock comes after it), so that the
    // line is written only for an event that is queued, in queue order.
    WriteEventLine(state, message);
    wake = RecordEvent(state, message);
  }
  Deliver(wake);
  return true;
}

void DrainVpnEvents() {
  std::deque<std::function<void()>> work;
  {
    // CoreLock is held while the sink is called, so that a listen or cancel
    // waits for the drain and never sees a half-delivered queue.
    std::lock_guard<std::mutex> lock(CoreLock);
    wakePosted = false;
    std::deque<VpnEvent> events;
    events.swap(pendingEvents);
    work.swap(pendingWork);
    // Nobody listening: the events are dropped.
    for (const VpnEvent& event : eventSink ? events : std::deque<VpnEvent>{}) {
      try {
        eventSink->Success(EventValue(event));
      } catch (...) {
        // One event that cannot be encoded or sent does not hold back the rest.
      }
    }
  }
  // After the events queued before it, and outside CoreLock.
  for (const std::function<void()>& item : work) {
    try {
      item();
    } catch (...) {
    }
  }
}

bool RunOnWindowThread(std::function<void()> work) {
  Wake wake;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    if (eventWindow == nullptr) return false;
    pendingWork.push_back(std::move(work));
    wake = ScheduleDrain();
  }
  Deliver(wake);
  return true;
}

std::string LastVpnState() {
  std::lock_guard<std::mutex> lock(CoreLock);
  return lastVpnState;
}

void SetVpnEventWindow(HWND window) {
  std::lock_guard<std::mutex> lock(CoreLock);
  eventWindow = window;
  wakePosted = false;
}

void ResetVpnEventDelivery() {
  std::unique_ptr<flutter::EventSink> oldSink;
  PTP_TIMER timer = nullptr;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    eventWindow = nullptr;
    wakePosted = false;
    pendingEvents.clear();
    pendingWork.clear();
    oldSink = std::move(eventSink);
    timer = std::exchange(wakeTimer, nullptr);
  }
  if (timer != nullptr) {
    // Outside CoreLock, which a running callback takes; with the window
    // forgotten, a callback that still comes does nothing.
    ::SetThreadpoolTimer(timer, nullptr, 0, 0);
    ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
    ::CloseThreadpoolTimer(timer);
  }
}

void SetVpnEventPoster(VpnEventPoster poster) {
  eventPoster.store(poster != nullptr ? poster : &::PostMessageW);
}

void SetVpnEventRepostDelay(ULONGLONG ms) {
  std::lock_guard<std::mutex> lock(CoreLock);
  repostAfterMs = ms != 0 ? ms : kDefaultRepostAfterMs;
}

std::unique_ptr<flutter::StreamHandler> MakeVpnEventStreamHandler() {
  auto onListen = [](const flutter::EncodableValue* /*arguments*/,
                     std::unique_ptr<flutter::EventSink>&& events)
      -> std::unique_ptr<flutter::StreamHandlerError> {
    std::unique_ptr<flutter::EventSink> oldSink;
    {
      std::lock_guard<std::mutex> lock(CoreLock);
      oldSink = std::exchange(eventSink, std::move(events));
    }
    return nullptr;  // the replaced sink goes here, outside the lock
  };
  auto onCancel = [](const flutter::EncodableValue* /*arguments*/)
      -> std::unique_ptr<flutter::StreamHandlerError> {
    std::unique_ptr<flutter::EventSink> oldSink;
    {
      std::lock_guard<std::mutex> lock(CoreLock);
      oldSink = std::move(eventSink);
    }
    return nullptr;
  };
  return std::make_unique<flutter::StreamHandlerFunctions>(onListen, onCancel);
}
