// MethodCodec: the framing of method calls, their replies and event-stream
// messages. Implementations are immutable and usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/encodable_value.h"
#include "channels/method_call.h"
#include "channels/method_result.h"

namespace flutter {

class MethodCodec {
 public:
  MethodCodec() = default;
  virtual ~MethodCodec();

  MethodCodec(const MethodCodec&) = delete;
  MethodCodec& operator=(const MethodCodec&) = delete;

  // Nothing when the bytes are not a method call.
  std::unique_ptr<MethodCall> DecodeMethodCall(const uint8_t* message, size_t message_size) const {
    return DecodeMethodCallInternal(message, message_size);
  }
  std::unique_ptr<std::vector<uint8_t>> EncodeMethodCall(const MethodCall& method_call) const {
    return EncodeMethodCallInternal(method_call);
  }
  std::unique_ptr<std::vector<uint8_t>> EncodeSuccessEnvelope(
      const EncodableValue* result = nullptr) const {
    return EncodeSuccessEnvelopeInternal(result);
  }
  // An empty message is written as null.
  std::unique_ptr<std::vector<uint8_t>> EncodeErrorEnvelope(
      const std::string& error_code, const std::string& error_message = "",
      const EncodableValue* error_details = nullptr) const {
    return EncodeErrorEnvelopeInternal(error_code, error_message, error_details);
  }
  // Delivers the envelope's content to result; false (result untouched) when
  // the envelope is not recognised.
  bool DecodeAndProcessResponseEnvelope(const uint8_t* response, size_t response_size,
                                        MethodResult* result) const {
    return DecodeAndProcessResponseEnvelopeInternal(response, response_size, result);
  }

 protected:
  virtual std::unique_ptr<MethodCall> DecodeMethodCallInternal(const uint8_t* message,
                                                               size_t message_size) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeMethodCallInternal(
      const MethodCall& method_call) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeSuccessEnvelopeInternal(
      const EncodableValue* result) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeErrorEnvelopeInternal(
      const std::string& error_code, const std::string& error_message,
      const EncodableValue* error_details) const = 0;
  virtual bool DecodeAndProcessResponseEnvelopeInternal(const uint8_t* response,
                                                        size_t response_size,
                                                        MethodResult* result) const = 0;
};

}  // namespace flutter
