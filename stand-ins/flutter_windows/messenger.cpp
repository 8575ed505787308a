// The stand-in embedder's messenger: per-channel callbacks, responses, sends,
// the messenger lock, availability and reference counts, plus the engine-side
// functions of standin_messenger.h. Callbacks are delivered on the thread that
// calls StandinMessengerDeliver; responses and sends may come from any thread.
#include "stand-ins/flutter_windows/standin_messenger.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

struct FlutterDesktopMessageResponseHandle {
  StandinResponseCallback on_response;
};

struct FlutterDesktopMessenger {
  struct Callback {
    FlutterDesktopMessageCallback function;
    void* user_data;
  };

  // Guards everything below; recursive so that the host may send a response
  // while it holds FlutterDesktopMessengerLock.
  std::recursive_mutex mutex;
  bool available = true;
  std::map<std::string, Callback> callbacks;
  StandinSendHook send_hook;
  // Response handles given to the host and not answered yet; owned here.
  std::set<FlutterDesktopMessageResponseHandle*> pending;

  std::atomic<int> references{1};

  // Send-hook calls running right now (on any thread), so that
  // StandinMessengerSetUnavailable can wait for them: after it returns, the
  // engine may free whatever its hook points at.
  std::mutex hooksMutex;
  std::condition_variable hooksDone;
  int runningHooks = 0;

  ~FlutterDesktopMessenger() {
    for (FlutterDesktopMessageResponseHandle* handle : pending) delete handle;
  }
};

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

std::vector<uint8_t> CopyBytes(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return {};
  return std::vector<uint8_t>(data, data + size);
}

// Copies the hook under the messenger's mutex and counts the call as running
// before the mutex is let go, so that it cannot outlive SetUnavailable.
// Returns false when the messenger is unavailable.
template <typename Call>
bool RunSendHook(FlutterDesktopMessengerRef messenger, Call call) {
  StandinSendHook hook;
  {
    Guard guard(messenger->mutex);
    if (!messenger->available) return false;
    hook = messenger->send_hook;
    if (hook) {
      std::lock_guard<std::mutex> hooks(messenger->hooksMutex);
      ++messenger->runningHooks;
    }
  }
  if (!hook) {
    call(hook);
    return true;
  }
  struct Done {
    FlutterDesktopMessengerRef messenger;
    ~Done() {
      std::lock_guard<std::mutex> hooks(messenger->hooksMutex);
      if (--messenger->runningHooks == 0) messenger->hooksDone.notify_all();
    }
  } done{messenger};
  call(hook);
  return true;
}

}  // namespace

FlutterDesktopMessengerRef StandinMessengerCreate() { return new FlutterDesktopMessenger(); }

void StandinMessengerSetUnavailable(FlutterDesktopMessengerRef messenger) {
  {
    Guard guard(messenger->mutex);
    messenger->available = false;
    messenger->callbacks.clear();
    messenger->send_hook = nullptr;
  }
  std::unique_lock<std::mutex> hooks(messenger->hooksMutex);
  messenger->hooksDone.wait(hooks, [messenger] { return messenger->runningHooks == 0; });
}

void StandinMessengerSetSendHook(FlutterDesktopMessengerRef messenger, StandinSendHook hook) {
  Guard guard(messenger->mutex);
  messenger->send_hook = std::move(hook);
}

bool StandinMessengerDeliver(FlutterDesktopMessengerRef messenger, const std::string& channel,
                             const std::vector<uint8_t>& message,
                             StandinResponseCallback on_response) {
  FlutterDesktopMessenger::Callback callback{};
  FlutterDesktopMessageResponseHandle* handle = nullptr;
  {
    Guard guard(messenger->mutex);
    if (!messenger->available) return false;
    auto found = messenger->callbacks.find(channel);
    if (found != messenger->callbacks.end()) {
      callback = found->second;
      handle = new FlutterDesktopMessageResponseHandle{std::move(on_response)};
      messenger->pending.insert(handle);
    }
  }
  if (handle == nullptr) {
    // No handler on the UI's channel: the engine answers with nothing.
    if (on_response) on_response({});
    return true;
  }
  FlutterDesktopMessage record{};
  record.struct_size = sizeof(record);
  record.channel = channel.c_str();
  record.message = message.empty() ? nullptr : message.data();
  record.message_size = message.size();
  record.response_handle = handle;
  callback.function(messenger, &record, callback.user_data);
  return true;
}

bool StandinMessengerHasCallback(FlutterDesktopMessengerRef messenger, const std::string& channel) {
  Guard guard(messenger->mutex);
  return messenger->callbacks.count(channel) != 0;
}

int StandinMessengerRefCount(FlutterDesktopMessengerRef messenger) {
  return messenger->references.load();
}

size_t StandinMessengerPendingResponses(FlutterDesktopMessengerRef messenger) {
  Guard guard(messenger->mutex);
  return messenger->pending.size();
}

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, const size_t message_size) {
  if (channel == nullptr) return false;
  return RunSendHook(messenger, [&](const StandinSendHook& hook) {
    if (hook) hook(channel, CopyBytes(message, message_size), nullptr);
  });
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger,
                                          const char* channel, const uint8_t* message,
                                          const size_t message_size,
                                          const FlutterDesktopBinaryReply reply, void* user_data) {
  if (channel == nullptr) return false;
  return RunSendHook(messenger, [&](const StandinSendHook& hook) {
    if (!hook) {
      if (reply != nullptr) reply(nullptr, 0, user_data);
      return;
    }
    StandinReplyFunction reply_function;
    if (reply != nullptr) {
      auto answered = std::make_shared<std::atomic<bool>>(false);
      reply_function = [reply, user_data, answered](const std::vector<uint8_t>& bytes) {
        if (answered->exchange(true)) return;  // the host's holder is gone after one reply
        reply(bytes.empty() ? nullptr : bytes.data(), bytes.size(), user_data);
      };
    }
    hook(channel, CopyBytes(message, message_size), std::move(reply_function));
  });
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  std::unique_ptr<FlutterDesktopMessageResponseHandle> owned;
  bool deliver = false;
  {
    Guard guard(messenger->mutex);
    auto found = messenger->pending.find(const_cast<FlutterDesktopMessageResponseHandle*>(handle));
    if (found == messenger->pending.end()) return;  // unknown or already answered
    owned.reset(*found);
    messenger->pending.erase(found);
    deliver = messenger->available;
  }
  if (deliver && owned->on_response) owned->on_response(CopyBytes(data, data_length));
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  if (channel == nullptr) return;
  Guard guard(messenger->mutex);
  if (callback == nullptr) {
    messenger->callbacks.erase(channel);
  } else if (messenger->available) {
    messenger->callbacks[channel] = {callback, user_data};
  }
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  messenger->references.fetch_add(1);
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger->references.fetch_sub(1) == 1) delete messenger;
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  Guard guard(messenger->mutex);
  return messenger->available;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  messenger->mutex.lock();
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  messenger->mutex.unlock();
}
