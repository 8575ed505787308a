// VPN state events: logged, remembered for "status", queued and delivered to
// the UI on the window thread.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace flutter {
class StreamHandler;
}

// Posted (both parameters 0) to wake the window thread for a drain.
constexpr UINT VpnEventMessage = WM_APP + 41;

struct VpnEvent {
  std::string state;
  std::string message;
};

// Any thread. Writes the "[EVENT:<state>]" line, sets the last state and,
// while a window is registered, queues the event and posts VpnEventMessage.
void EmitVpnEvent(std::string_view state, std::string_view message);

// The same, only if `holds` answers true; it is asked under CoreLock, in one
// step with the recording and queueing, so nothing done under CoreLock (a
// stop's "stopping", a new core's count) falls between the answer and the
// event. `holds` must not take CoreLock nor emit. True when emitted.
bool EmitVpnEventIf(std::string_view state, std::string_view message,
                    const std::function<bool()>& holds);

// Window thread, on VpnEventMessage: hands every queued event to the sink (or
// drops it when nobody listens).
void DrainVpnEvents();

// Any thread: runs `work` on the window thread, after the events queued
// before it are delivered (on VpnEventMessage). False, and nothing runs,
// while no window is registered.
bool RunOnWindowThread(std::function<void()> work);

// State word of the most recent event ("idle" before any), read under CoreLock.
std::string LastVpnState();

// Window handle that receives VpnEventMessage; null: events are not queued.
void SetVpnEventWindow(HWND window);

// Forgets the window, drops queued events and the sink (shutdown).
void ResetVpnEventDelivery();

// The "kelpmarrow.vpn/events" stream handler: listen stores the sink,
// cancel drops it.
std::unique_ptr<flutter::StreamHandler> MakeVpnEventStreamHandler();
