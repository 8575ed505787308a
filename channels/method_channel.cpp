// MethodChannel: installs the message handler that decodes method calls and
// hands them, with their result, to the method-call handler. Platform thread.
#include "channels/method_channel.h"

#include <iostream>
#include <utility>

#include "channels/engine_method_result.h"

namespace flutter {

MethodChannel::MethodChannel(BinaryMessenger* messenger, const std::string& name,
                             const StandardMethodCodec* codec)
    : messenger_(messenger), name_(name), codec_(codec) {}

MethodChannel::~MethodChannel() = default;

void MethodChannel::SetMethodCallHandler(MethodCallHandler handler) const {
  if (!handler) {
    messenger_->SetMessageHandler(name_, nullptr);
    return;
  }
  // The installed handler keeps its own copies: this object may go away.
  const MethodCodec* codec = codec_;
  std::string name = name_;
  messenger_->SetMessageHandler(
      name_, [handler = std::move(handler), codec, name](const uint8_t* message,
                                                         size_t message_size, BinaryReply reply) {
        auto result = std::make_unique<EngineMethodResult>(std::move(reply), codec);
        std::unique_ptr<MethodCall> call = codec->DecodeMethodCall(message, message_size);
        if (!call) {
          std::cerr << "Unable to construct method call from message on channel " << name
                    << std::endl;
          result->NotImplemented();
          return;
        }
        // A handler's failure is the messenger's to report; the arguments
        // are wiped on the way out regardless.
        struct WipeOnExit {
          MethodCall& call;
          ~WipeOnExit() { call.WipeArguments(); }
        } wipe{*call};
        handler(*call, std::move(result));
      });
}

}  // namespace flutter
