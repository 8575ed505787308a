// StandardMethodCodec: method calls, success and error envelopes in the
// standard codec, and the process-wide table of one codec per serializer.
// Immutable after creation; any thread.
#include <iostream>
#include <map>
#include <mutex>

#include "channels/standard_codec.h"

namespace flutter {

namespace {

// Room for a small message (an event, a short reply) without regrowing the
// vector byte by byte; larger payloads grow it once.
constexpr size_t kInitialCapacity = 64;

std::unique_ptr<std::vector<uint8_t>> NewMessage() {
  auto message = std::make_unique<std::vector<uint8_t>>();
  message->reserve(kInitialCapacity);
  return message;
}

}  // namespace

MethodCodec::~MethodCodec() = default;

StandardMethodCodec::StandardMethodCodec(const StandardCodecSerializer* serializer)
    : serializer_(serializer) {}

StandardMethodCodec::~StandardMethodCodec() = default;

const StandardMethodCodec& StandardMethodCodec::GetInstance(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) serializer = &StandardCodecSerializer::GetInstance();
  // Created on first use and never destroyed: channels keep plain pointers to
  // their codec until the process ends. The lock makes concurrent first
  // requests for a new serializer's codec safe.
  static std::mutex* const tableLock = new std::mutex();
  static auto* const table =
      new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>>();
  std::lock_guard<std::mutex> guard(*tableLock);
  auto& codec = (*table)[serializer];
  if (!codec) codec.reset(new StandardMethodCodec(serializer));
  return *codec;
}

std::unique_ptr<MethodCall> StandardMethodCodec::DecodeMethodCallInternal(
    const uint8_t* message, size_t message_size) const {
  ByteBufferStreamReader stream(message, message_size);
  EncodableValue method_name = serializer_->ReadValue(&stream);
  auto* name = std::get_if<std::string>(&method_name);
  if (name == nullptr) {
    std::cerr << "Invalid method call; method name is not a string." << std::endl;
    return nullptr;
  }
  auto arguments = std::make_unique<EncodableValue>(serializer_->ReadValue(&stream));
  return std::make_unique<MethodCall>(std::move(*name), std::move(arguments));
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeMethodCallInternal(
    const MethodCall& method_call) const {
  auto encoded = NewMessage();
  ByteBufferStreamWriter stream(encoded.get());
  serializer_->WriteValue(EncodableValue(method_call.method_name()), &stream);
  if (method_call.arguments() != nullptr) {
    serializer_->WriteValue(*method_call.arguments(), &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeSuccessEnvelopeInternal(
    const EncodableValue* result) const {
  auto encoded = NewMessage();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(0);
  if (result != nullptr) {
    serializer_->WriteValue(*result, &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeErrorEnvelopeInternal(
    const std::string& error_code, const std::string& error_message,
    const EncodableValue* error_details) const {
  auto encoded = NewMessage();
  ByteBufferStreamWriter stream(encoded.get());
  stream.WriteByte(1);
  serializer_->WriteValue(EncodableValue(error_code), &stream);
  if (error_message.empty()) {
    serializer_->WriteValue(EncodableValue(), &stream);
  } else {
    serializer_->WriteValue(EncodableValue(error_message), &stream);
  }
  if (error_details != nullptr) {
    serializer_->WriteValue(*error_details, &stream);
  } else {
    serializer_->WriteValue(EncodableValue(), &stream);
  }
  return encoded;
}

bool StandardMethodCodec::DecodeAndProcessResponseEnvelopeInternal(const uint8_t* response,
                                                                   size_t response_size,
                                                                   MethodResult* result) const {
  // An empty response is the "not implemented" answer, not an envelope: it
  // must not read as a success.
  if (response == nullptr || response_size == 0) return false;
  ByteBufferStreamReader stream(response, response_size);
  const uint8_t kind = stream.ReadByte();
  if (kind == 0) {
    EncodableValue value = serializer_->ReadValue(&stream);
    if (value.IsNull()) {
      result->Success();
    } else {
      result->Success(value);
    }
    return true;
  }
  if (kind == 1) {
    EncodableValue code = serializer_->ReadValue(&stream);
    EncodableValue message = serializer_->ReadValue(&stream);
    EncodableValue details = serializer_->ReadValue(&stream);
    const auto* code_text = std::get_if<std::string>(&code);
    const auto* message_text = std::get_if<std::string>(&message);
    if (code_text == nullptr || (message_text == nullptr && !message.IsNull())) {
      std::cerr << "Invalid error envelope; code is not a string or message is neither a string "
                   "nor null."
                << std::endl;
      return false;
    }
    const std::string message_or_empty = message_text ? *message_text : std::string();
    if (details.IsNull()) {
      result->Error(*code_text, message_or_empty);
    } else {
      result->Error(*code_text, message_or_empty, details);
    }
    return true;
  }
  return false;
}

}  // namespace flutter
