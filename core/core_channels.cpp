// Registration of the host's three platform channels and the dispatch of the
// "kelpmarrow.vpn/core" methods. Everything here runs on the window thread,
// but the start itself, which runs on a worker (async_start.h).
// HandleCoreMethodCall is a wall: whatever a call carries, it is answered
// exactly once and no exception leaves it.
#include "core/core_channels.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "browsers/registered_browsers.h"
#include "channels/encodable_value.h"
#include "channels/event_channel.h"
#include "channels/method_channel.h"
#include "channels/secure_wipe.h"
#include "channels/standard_codec.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "core/async_start.h"
#include "core/privileged_client.h"
#include "core/core_call_checks.h"
#include "core/core_launch.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/dns_rule_requests.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "network/network_monitor.h"
#include "protected/secure_preferences.h"

namespace {

using flutter::EncodableValue;

constexpr DWORD kShutdownReclaimMs = 5000;
// How long a stop waits for a start in flight to give up; with the core's own
// stop after, within the 8 s a stop takes at most.
constexpr DWORD kStopStartWaitMs = 3000;

// The IP interface change subscription, made once the first frame is shown.
// Set by the monitor's start-up thread, read by the window thread only after
// joining it.
tovix::UniqueMibNotification interfaceNotification;
// Records the network baseline and then subscribes to interface changes. A
// jthread, so that a second start or the end of the process waits for it.
// Window thread.
std::jthread networkMonitorStart;

// The baseline first, so that the subscription never compares against
// nothing; neither step keeps the channels from working when it fails.
void RecordBaselineAndSubscribe() {
  try {
    RecordPhysicalFingerprint(ComputePhysicalFingerprint());
  } catch (...) {
  }
  // The result is not checked: without a subscription only the resume path
  // reports network changes. (Under Wine the call succeeds with a null handle.)
  HANDLE notification = nullptr;
  ::NotifyIpInterfaceChange(AF_UNSPEC, &OnIpInterfaceChange, nullptr, FALSE, &notification);
  interfaceNotification.reset(notification);
}

// Holds the call's result and gives it away on the first answer, so that the
// wall below can tell whether the call still needs one.
class Reply {
 public:
  explicit Reply(std::unique_ptr<flutter::MethodResult> result) : result_(std::move(result)) {}

  bool Answered() const { return !result_; }

  void Success(const EncodableValue& value) {
    if (auto result = std::move(result_)) result->Success(value);
  }
  void Success() {
    if (auto result = std::move(result_)) result->Success();
  }
  void Error(const std::string& code, const std::string& message) {
    if (auto result = std::move(result_)) result->Error(code, message);
  }
  void NotImplemented() {
    if (auto result = std::move(result_)) result->NotImplemented();
  }

 private:
  std::unique_ptr<flutter::MethodResult> result_;
};

// Exception texts may be in the system's code page; a reply carries UTF-8.
// Anything outside printable ASCII becomes '?'.
std::string PrintableAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e) c = '?';
  }
  return out;
}

// The "start_failed" message for a launch that ended in an exception rather
// than with an error of its own.
std::string StartExceptionMessage() {
  try {
    throw;
  } catch (const std::filesystem::filesystem_error& e) {
    std::string path = ToUtf8(e.path1().native());
    return "Could not use the data folder" + (path.empty() ? std::string() : " " + path) +
           " (error " + std::to_string(e.code().value()) + ")";
  } catch (const std::system_error& e) {
    return "Could not start the VPN core: " + PrintableAscii(e.what()) + " (error " +
           std::to_string(e.code().value()) + ")";
  } catch (const std::exception& e) {
    return "Could not start the VPN core: " + PrintableAscii(e.what());
  } catch (...) {
    return "Could not start the VPN core: unexpected failure";
  }
}

// The launch, on the start's worker. It may give up half-way (the data
// folder could not be made, a worker thread could not start): nothing of it
// is left behind, and it is reported like any other failed start.
bool RunStart(std::string& config, std::string& error) {
  bool started = false;
  try {
    started = StartCore(config, error);
  } catch (...) {
    error = StartExceptionMessage();
    try {
      StopCore();
    } catch (...) {
    }
    try {
      EmitVpnEvent("error", error);
    } catch (...) {
    }
  }
  flutter::WipeString(config);
  return started;
}

void Start(const EncodableValue* arguments, Reply& reply) {
  const std::string* config = arguments ? std::get_if<std::string>(arguments) : nullptr;
  if (config == nullptr) {
    reply.Error("bad_payload", "expected JSON config string");
    return;
  }
  if (StartInFlight()) {
    reply.Error("start_failed", "already running");
    return;
  }
  auto answer = std::make_shared<Reply>(std::move(reply));
  BeginStart([config = *config](std::string& error) mutable { return RunStart(config, error); },
             [answer](bool started, const std::string& error) {
               if (started) {
                 answer->Success(EncodableValue(true));
               } else {
                 answer->Error("start_failed", error);
               }
             });
}

// A note that cannot be written is still answered with success, like one
// that is filtered out.
void WriteNote(std::string_view tag, const std::optional<std::string>& text) {
  if (!text) return;
  try {
    SessionLog::Write(tag, *text);
  } catch (...) {
  }
}

void Stop(Reply& reply) {
  SessionLog::Write("[stop_request]", "method_channel");
  // A start in flight ends first. One that cannot end within the stop's
  // bound waits for the user's answer to the elevation prompt (or for the
  // service manager): it has launched nothing, and gives up once it has
  // that answer; the stop does not wait for it.
  if (EndStart(GetTickCount64() + kStopStartWaitMs)) {
    StopCore();
    JoinCoreThreads();
  }
  reply.Success(EncodableValue(true));
}

void QueryVpnState(Reply& reply) {
  const bool running = IsOurVpnRunning();
  if (running) EmitVpnEvent("network_lost", "state query");
  reply.Success(EncodableValue(running));
}

void RegisteredBrowsers(Reply& reply) {
  flutter::EncodableList list;
  for (std::string& path : QueryRegisteredBrowsers()) list.emplace_back(std::move(path));
  reply.Success(EncodableValue(std::move(list)));
}

void LogPath(Reply& reply) {
  reply.Success(EncodableValue(ToUtf8(SessionLog::CurrentPath().native())));
}

// Names are compared on their full length and case-sensitively, in the order
// of the method table.
void Dispatch(const flutter::MethodCall& call, Reply& reply) {
  const std::string& method = call.method_name();
  const EncodableValue* arguments = call.arguments();
  if (method == "prepare") {
    reply.Success(EncodableValue(true));
  } else if (method == "start") {
    Start(arguments, reply);
  } else if (method == "noteStopCause") {
    WriteNote("[stop_cause]", StopCauseLogText(arguments));
    reply.Success();
  } else if (method == "noteHealth") {
    WriteNote("[health]", HealthLogText(arguments));
    reply.Success();
  } else if (method == "stop") {
    Stop(reply);
  } else if (method == "status") {
    reply.Success(EncodableValue(LastVpnState()));
  } else if (method == "isOurVpnRunning") {
    reply.Success(EncodableValue(IsOurVpnRunning()));
  } else if (method == "dnsPolicyState") {
    reply.Success(EncodableValue(DnsPolicyStatusSnapshot()));
  } else if (method == "queryVpnState") {
    QueryVpnState(reply);
  } else if (method == "registeredBrowsers") {
    RegisteredBrowsers(reply);
  } else if (method == "logPath") {
    LogPath(reply);
  } else {
    reply.NotImplemented();
  }
}

}  // namespace

void RegisterCoreChannels(flutter::BinaryMessenger* messenger, HWND window) {
  // The network monitor starts with the first frame (StartNetworkMonitor). A
  // DNS rule left by an earlier run is swept by the privileged program when
  // it starts, before the first session opens.
  SetVpnEventWindow(window);
  const flutter::StandardMethodCodec* codec = &flutter::StandardMethodCodec::GetInstance();
  // The channel objects are handles only; the handlers stay with the messenger.
  flutter::MethodChannel(messenger, "kelpmarrow.secure/preferences", codec)
      .SetMethodCallHandler(&SecurePreferencesHandler);
  flutter::MethodChannel(messenger, "kelpmarrow.vpn/core", codec)
      .SetMethodCallHandler(&HandleCoreMethodCall);
  flutter::EventChannel(messenger, "kelpmarrow.vpn/events", codec)
      .SetStreamHandler(MakeVpnEventStreamHandler());
}

void StartNetworkMonitor() {
  try {
    networkMonitorStart = std::jthread(&RecordBaselineAndSubscribe);
  } catch (const std::system_error&) {
    RecordBaselineAndSubscribe();  // no thread to be had: the window waits instead
  }
}

void ShutdownCoreChannels() {
  if (networkMonitorStart.joinable()) networkMonitorStart.join();
  interfaceNotification.reset();  // CancelMibChangeNotify2
  try {
    if (!EndStart(GetTickCount64() + kShutdownReclaimMs)) AbandonStart();
    StopCore();
    // The threads of a core whose stop timed out, once its job has ended it.
    ReclaimCoreThreadsLeftBehind(kShutdownReclaimMs);
  } catch (...) {
    // The window is going away regardless; the job object ends a core that
    // could not be stopped here.
  }
  // The privileged program ends its core and rule, and itself, when this
  // process ends; its connection's thread goes now, before the statics.
  PrivilegedClient::Disconnect();
  ResetVpnEventDelivery();
}

void HandleCoreMethodCall(const flutter::MethodCall& call,
                          std::unique_ptr<flutter::MethodResult> result) {
  if (!result) return;
  Reply reply(std::move(result));
  try {
    Dispatch(call, reply);
  } catch (const std::exception& e) {
    try {
      if (!reply.Answered()) reply.Error("internal_error", PrintableAscii(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      if (!reply.Answered()) reply.Error("internal_error", "unexpected failure");
    } catch (...) {
    }
  }
}
