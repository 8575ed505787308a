// Test harness for the core channels: a message-only window on the test
// thread that drains VPN events, the stand-in embedder's messenger playing
// the UI (replies and events are real standard-codec bytes), a scratch folder
// and a reader for session log files. Test thread only.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "channels/encodable_value.h"
#include "channels/method_call.h"
#include "channels/method_result.h"
#include "channels/standard_codec.h"
#include "core/core_channels.h"
#include "core/vpn_events.h"
#include "stand-ins/flutter_windows/standin_messenger.h"
#include "support/scratch_folder.h"

namespace dispatch_test {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

// One decoded answer to a method call.
struct Answer {
  enum class Kind { kNone, kSuccess, kError, kNotImplemented, kUndecodable };
  Kind kind = Kind::kNone;
  EncodableValue value;  // success value
  std::string code;
  std::string message;
  bool hasDetails = false;

  bool IsSuccess(const EncodableValue& expected) const {
    return kind == Kind::kSuccess && value == expected;
  }
  bool IsError(const std::string& c, const std::string& m) const {
    return kind == Kind::kError && code == c && message == m && !hasDetails;
  }
};

class RecordingResult : public flutter::MethodResult {
 public:
  explicit RecordingResult(Answer* out, int* answers = nullptr) : out_(out), answers_(answers) {}

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    Count();
    out_->kind = Answer::Kind::kSuccess;
    out_->value = result ? *result : EncodableValue();
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override {
    Count();
    out_->kind = Answer::Kind::kError;
    out_->code = code;
    out_->message = message;
    out_->hasDetails = details != nullptr && !details->IsNull();
  }
  void NotImplementedInternal() override {
    Count();
    out_->kind = Answer::Kind::kNotImplemented;
  }

 private:
  void Count() {
    if (answers_) ++*answers_;
  }
  Answer* out_;
  int* answers_;
};

inline const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::GetInstance();
}

inline std::vector<uint8_t> EncodeCall(const std::string& method,
                                       std::optional<EncodableValue> arguments) {
  auto args = arguments ? std::make_unique<EncodableValue>(std::move(*arguments)) : nullptr;
  return *Codec().EncodeMethodCall(flutter::MethodCall(method, std::move(args)));
}

// An empty response is "not implemented", as the method channel sends it.
inline Answer DecodeAnswer(const std::vector<uint8_t>& bytes) {
  Answer answer;
  if (bytes.empty()) {
    answer.kind = Answer::Kind::kNotImplemented;
    return answer;
  }
  RecordingResult recorder(&answer);
  if (!Codec().DecodeAndProcessResponseEnvelope(bytes.data(), bytes.size(), &recorder)) {
    answer.kind = Answer::Kind::kUndecodable;
  }
  return answer;
}

// A message-only window whose procedure drains the VPN events, as the main
// window does. Counts the drains that found something to deliver.
class EventWindow {
 public:
  EventWindow() {
    static const ATOM atom = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &Procedure;
      wc.hInstance = ::GetModuleHandleW(nullptr);
      wc.lpszClassName = L"TovixDispatchTestWindow";
      return ::RegisterClassW(&wc);
    }();
    (void)atom;
    hwnd_ = ::CreateWindowExW(0, L"TovixDispatchTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
  }
  ~EventWindow() {
    if (hwnd_) ::DestroyWindow(hwnd_);
  }
  EventWindow(const EventWindow&) = delete;
  EventWindow& operator=(const EventWindow&) = delete;

  HWND hwnd() const { return hwnd_; }

  // Number of VpnEventMessage deliveries so far (process-wide).
  static int Drains() { return drains_.load(); }

  // Pumps this thread's messages until done() or the timeout.
  static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
      PumpPending();
      if (done()) return true;
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return false;
      const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20));
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    }
  }

  // Handles everything queued for this thread now.
  static void PumpPending() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == VpnEventMessage) {
      ++drains_;
      DrainVpnEvents();
      return 0;
    }
    return ::DefWindowProcW(hwnd, message, wparam, lparam);
  }

  static inline std::atomic<int> drains_{0};
  HWND hwnd_ = nullptr;
};

struct SentEvent {
  std::string state;
  std::string message;
  bool wellFormed = false;  // a success envelope of a map with exactly these two strings
  int drain = 0;            // EventWindow::Drains() when it was sent
};

// The stand-in messenger with the host's channels registered on it, and the
// UI's side: calls, listen/cancel, and every event the host sends.
class CoreChannelHarness {
 public:
  CoreChannelHarness()
      : engine_(StandinMessengerCreate()),
        messenger_(std::make_unique<flutter::BinaryMessengerImpl>(engine_)) {
    StandinMessengerSetSendHook(
        engine_, [this](const std::string& channel, const std::vector<uint8_t>& message,
                        StandinReplyFunction) {
          std::lock_guard<std::mutex> lock(mutex_);
          if (channel != "kelpmarrow.vpn/events") return;
          events_.push_back(DecodeEvent(message));
          events_.back().drain = EventWindow::Drains();
        });
  }
  ~CoreChannelHarness() {
    if (registered_) ShutdownCoreChannels();
    StandinMessengerSetUnavailable(engine_);
    messenger_.reset();
    FlutterDesktopMessengerRelease(engine_);
  }
  CoreChannelHarness(const CoreChannelHarness&) = delete;
  CoreChannelHarness& operator=(const CoreChannelHarness&) = delete;

  void Register() {
    RegisterCoreChannels(messenger_.get(), window_.hwnd());
    StartNetworkMonitor();  // as the window does after its first frame
    registered_ = true;
  }
  void Shutdown() {
    ShutdownCoreChannels();
    registered_ = false;
  }

  FlutterDesktopMessengerRef engine() const { return engine_; }
  HWND hwnd() const { return window_.hwnd(); }

  // Delivers raw bytes on a channel; the response, or nothing when the host
  // did not answer during the delivery.
  std::optional<std::vector<uint8_t>> Deliver(const std::string& channel,
                                              const std::vector<uint8_t>& bytes) {
    auto response = std::make_shared<std::optional<std::vector<uint8_t>>>();
    StandinMessengerDeliver(engine_, channel, bytes,
                            [response](const std::vector<uint8_t>& r) { *response = r; });
    return *response;
  }

  // Sends a call and returns at once; the response arrives in the slot, on
  // this thread, during the delivery or while its messages are pumped.
  std::shared_ptr<std::optional<std::vector<uint8_t>>> Send(
      const std::string& method, std::optional<EncodableValue> arguments = std::nullopt) {
    return SendBytes(EncodeCall(method, std::move(arguments)));
  }
  std::shared_ptr<std::optional<std::vector<uint8_t>>> SendBytes(
      const std::vector<uint8_t>& bytes) {
    auto response = std::make_shared<std::optional<std::vector<uint8_t>>>();
    StandinMessengerDeliver(engine_, "kelpmarrow.vpn/core", bytes,
                            [response](const std::vector<uint8_t>& r) { *response = r; });
    return response;
  }

  // A call and its answer; a start answers from its worker, through this
  // (the window) thread, so messages are pumped until the answer comes.
  Answer Call(const std::string& method, std::optional<EncodableValue> arguments = std::nullopt) {
    return AnswerTo(Send(method, std::move(arguments)));
  }
  static Answer AnswerTo(const std::shared_ptr<std::optional<std::vector<uint8_t>>>& response) {
    EventWindow::PumpUntil([&] { return response->has_value(); }, 60000);
    if (!*response) return Answer{};
    return DecodeAnswer(**response);
  }

  Answer Listen() { return EventCall("listen"); }
  Answer Cancel() { return EventCall("cancel"); }

  std::vector<SentEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t EventCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

 private:
  Answer EventCall(const std::string& method) {
    auto response = Deliver("kelpmarrow.vpn/events", EncodeCall(method, std::nullopt));
    if (!response) return Answer{};
    return DecodeAnswer(*response);
  }

  static SentEvent DecodeEvent(const std::vector<uint8_t>& bytes) {
    SentEvent event;
    Answer answer = DecodeAnswer(bytes);
    const auto* map = std::get_if<EncodableMap>(&answer.value);
    if (answer.kind != Answer::Kind::kSuccess || map == nullptr || map->size() != 2) return event;
    auto state = map->find(EncodableValue("state"));
    auto message = map->find(EncodableValue("message"));
    if (state == map->end() || message == map->end()) return event;
    const auto* s = std::get_if<std::string>(&state->second);
    const auto* m = std::get_if<std::string>(&message->second);
    if (!s || !m) return event;
    event.state = *s;
    event.message = *m;
    event.wellFormed = true;
    return event;
  }

  FlutterDesktopMessengerRef engine_;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
  EventWindow window_;
  bool registered_ = false;
  std::mutex mutex_;
  std::vector<SentEvent> events_;
};

// The texts of the lines with `tag` in a session log file, in file order
// ("[<time>] <tag> <text>").
inline std::vector<std::string> LoggedTexts(const std::filesystem::path& file,
                                            const std::string& tag) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> texts;
  std::string line;
  const std::string marker = "] " + tag + " ";
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] != '[') continue;
    const size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    texts.push_back(line.substr(at + marker.size()));
  }
  return texts;
}

}  // namespace dispatch_test
