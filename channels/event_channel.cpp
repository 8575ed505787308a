// EventChannel: the listen/cancel protocol of a UI event stream over a
// messenger, and the sink that sends the stream's events. Platform thread.
#include "channels/event_channel.h"

#include <iostream>
#include <sstream>
#include <utility>

namespace flutter {

namespace {

// A short rendering of an error's details for a diagnostic line.
void Describe(std::ostream& out, const EncodableValue* value, int depth = 0) {
  if (value == nullptr || value->IsNull()) {
    out << "null";
  } else if (const auto* text = std::get_if<std::string>(value)) {
    out << *text;
  } else if (const auto* flag = std::get_if<bool>(value)) {
    out << (*flag ? "true" : "false");
  } else if (const auto* number = std::get_if<int32_t>(value)) {
    out << *number;
  } else if (const auto* number64 = std::get_if<int64_t>(value)) {
    out << *number64;
  } else if (const auto* real = std::get_if<double>(value)) {
    out << *real;
  } else if (const auto* list = std::get_if<EncodableList>(value); list && depth < 4) {
    out << '[';
    for (size_t i = 0; i < list->size(); ++i) {
      if (i != 0) out << ", ";
      Describe(out, &(*list)[i], depth + 1);
    }
    out << ']';
  } else if (const auto* map = std::get_if<EncodableMap>(value); map && depth < 4) {
    out << '{';
    bool first = true;
    for (const auto& [key, entry] : *map) {
      if (!first) out << ", ";
      first = false;
      Describe(out, &key, depth + 1);
      out << ": ";
      Describe(out, &entry, depth + 1);
    }
    out << '}';
  } else {
    out << "<value of kind " << value->index() << '>';
  }
}

struct StreamState {
  std::unique_ptr<StreamHandler> handler;
  bool listening = false;
};

void Reply(const BinaryReply& reply, const std::unique_ptr<std::vector<uint8_t>>& envelope) {
  reply(envelope->data(), envelope->size());
}

}  // namespace

EventChannel::EventChannel(BinaryMessenger* messenger, const std::string& name,
                           const StandardMethodCodec* codec)
    : messenger_(messenger), name_(name), codec_(codec) {}

EventChannel::~EventChannel() = default;

void EventChannel::SetStreamHandler(std::unique_ptr<StreamHandler> handler) const {
  if (!handler) {
    messenger_->SetMessageHandler(name_, nullptr);
    return;
  }
  // Shared by every copy of the installed handler: the stream handler and the
  // listening flag. The installed handler keeps its own copies of the rest.
  auto state = std::make_shared<StreamState>();
  state->handler = std::move(handler);
  const MethodCodec* codec = codec_;
  const BinaryMessenger* messenger = messenger_;
  std::string name = name_;
  messenger_->SetMessageHandler(name_, [state, codec, messenger, name](
                                           const uint8_t* message, size_t message_size,
                                           BinaryReply reply) {
    std::unique_ptr<MethodCall> call = codec->DecodeMethodCall(message, message_size);
    if (!call) {
      std::cerr << "Unable to construct method call from message on channel: " << name
                << std::endl;
      reply(nullptr, 0);
      return;
    }
    const std::string& method = call->method_name();
    if (method == "listen") {
      if (state->listening) {
        std::unique_ptr<StreamHandlerError> error = state->handler->OnCancel(nullptr);
        if (error) {
          std::ostringstream line;
          line << "Failed to cancel existing stream: " << error->error_code << ", "
               << error->error_message << ", ";
          Describe(line, error->error_details.get());
          std::cerr << line.str() << std::endl;
        }
      }
      state->listening = true;
      auto sink = std::make_unique<EventSinkImplementation>(messenger, name, codec);
      std::unique_ptr<StreamHandlerError> error =
          state->handler->OnListen(call->arguments(), std::move(sink));
      if (error) {
        Reply(reply, codec->EncodeErrorEnvelope(error->error_code, error->error_message,
                                                error->error_details.get()));
      } else {
        Reply(reply, codec->EncodeSuccessEnvelope());
      }
    } else if (method == "cancel") {
      if (state->listening) {
        std::unique_ptr<StreamHandlerError> error = state->handler->OnCancel(call->arguments());
        if (error) {
          Reply(reply, codec->EncodeErrorEnvelope(error->error_code, error->error_message,
                                                  error->error_details.get()));
        } else {
          Reply(reply, codec->EncodeSuccessEnvelope());
        }
        state->listening = false;
      } else {
        Reply(reply, codec->EncodeErrorEnvelope("error", "No active stream to cancel"));
      }
    } else {
      reply(nullptr, 0);
    }
  });
}

EventChannel::EventSinkImplementation::EventSinkImplementation(const BinaryMessenger* messenger,
                                                               const std::string& name,
                                                               const MethodCodec* codec)
    : messenger_(messenger), name_(name), codec_(codec) {}

EventChannel::EventSinkImplementation::~EventSinkImplementation() = default;

void EventChannel::EventSinkImplementation::SuccessInternal(const EncodableValue* event) {
  auto envelope = codec_->EncodeSuccessEnvelope(event);
  messenger_->Send(name_, envelope->data(), envelope->size());
}

void EventChannel::EventSinkImplementation::ErrorInternal(const std::string& error_code,
                                                          const std::string& error_message,
                                                          const EncodableValue* error_details) {
  auto envelope = codec_->EncodeErrorEnvelope(error_code, error_message, error_details);
  messenger_->Send(name_, envelope->data(), envelope->size());
}

void EventChannel::EventSinkImplementation::EndOfStreamInternal() {
  messenger_->Send(name_, nullptr, 0);
}

}  // namespace flutter
