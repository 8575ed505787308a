// BinaryMessengerImpl: routes the embedder's channel callbacks to the stored
// handlers and turns their replies into responses. Callbacks arrive on the
// platform thread; a reply may be sent from any thread, serialised with the
// embedder by its messenger lock.
#include "channels/binary_messenger_impl.h"

#include <exception>
#include <iostream>
#include <memory>
#include <utility>

namespace flutter {

namespace {

// One incoming message's claim on the embedder: a reference to its messenger
// (held until the last copy of the reply callback is gone) and the response
// handle, forgotten once used.
class PendingResponse {
 public:
  PendingResponse(FlutterDesktopMessengerRef messenger,
                  const FlutterDesktopMessageResponseHandle* handle)
      : messenger_(FlutterDesktopMessengerAddRef(messenger)), handle_(handle) {}
  ~PendingResponse() { FlutterDesktopMessengerRelease(messenger_); }

  PendingResponse(const PendingResponse&) = delete;
  PendingResponse& operator=(const PendingResponse&) = delete;

  // Any thread.
  void Send(const uint8_t* reply, size_t reply_size) {
    FlutterDesktopMessengerLock(messenger_);
    struct Unlock {
      FlutterDesktopMessengerRef messenger;
      ~Unlock() { FlutterDesktopMessengerUnlock(messenger); }
    } unlock{messenger_};
    if (!FlutterDesktopMessengerIsAvailable(messenger_)) return;  // the engine is gone
    if (handle_ == nullptr) {
      std::cerr << "Error: Response can be set only once. Ignoring duplicate response."
                << std::endl;
      return;
    }
    FlutterDesktopMessengerSendResponse(messenger_, handle_, reply, reply_size);
    handle_ = nullptr;
  }

 private:
  FlutterDesktopMessengerRef messenger_;
  const FlutterDesktopMessageResponseHandle* handle_;  // guarded by the messenger lock
};

// The callback given to the embedder for every channel; user_data is the
// stored handler. A wall: nothing thrown by a handler crosses into the
// embedder.
void ForwardToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                      void* user_data) {
  try {
    // A copy, so that the handler may replace or remove itself while it runs.
    BinaryMessageHandler handler = *static_cast<const BinaryMessageHandler*>(user_data);
    auto pending = std::make_shared<PendingResponse>(messenger, message->response_handle);
    BinaryReply reply = [pending](const uint8_t* reply, size_t reply_size) {
      pending->Send(reply, reply_size);
    };
    handler(message->message, message->message_size, std::move(reply));
  } catch (const std::exception& error) {
    std::cerr << "Unhandled exception in the handler of channel "
              << (message->channel ? message->channel : "") << ": " << error.what() << std::endl;
  } catch (...) {
    std::cerr << "Unhandled exception in the handler of channel "
              << (message->channel ? message->channel : "") << std::endl;
  }
}

// Runs the reply of a send with reply once, then frees it. A wall.
void ForwardReply(const uint8_t* data, size_t data_size, void* user_data) {
  std::unique_ptr<BinaryReply> reply(static_cast<BinaryReply*>(user_data));
  try {
    if (*reply) (*reply)(data, data_size);
  } catch (const std::exception& error) {
    std::cerr << "Unhandled exception in a message reply: " << error.what() << std::endl;
  } catch (...) {
    std::cerr << "Unhandled exception in a message reply" << std::endl;
  }
}

}  // namespace

BinaryMessenger::~BinaryMessenger() = default;

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
    : messenger_(core_messenger) {}

BinaryMessengerImpl::~BinaryMessengerImpl() = default;

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReply reply) const {
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  auto* holder = new BinaryReply(std::move(reply));
  if (!FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                            ForwardReply, holder)) {
    delete holder;  // not sent: the reply never comes
  }
}

void BinaryMessengerImpl::SetMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  BinaryMessageHandler& stored = handlers_[channel];
  stored = std::move(handler);
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), ForwardToHandler, &stored);
}

}  // namespace flutter
