// The standard message codec: StandardCodecSerializer turns EncodableValues
// into bytes and back; StandardMethodCodec frames method calls, replies and
// event-stream messages with it. Both are immutable after creation and usable
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/byte_streams.h"
#include "channels/encodable_value.h"
#include "channels/method_codec.h"

namespace flutter {

class StandardCodecSerializer {
 public:
  // Lists and maps nested deeper than this are not read (a diagnostic line
  // and null instead), so a hostile message cannot exhaust the stack.
  static constexpr int kMaxNestingDepth = 256;

  virtual ~StandardCodecSerializer();

  StandardCodecSerializer(const StandardCodecSerializer&) = delete;
  StandardCodecSerializer& operator=(const StandardCodecSerializer&) = delete;

  // The process-wide default instance, created on first use, never destroyed.
  static const StandardCodecSerializer& GetInstance();

  // A complete value: the tag byte, then ReadValueOfType.
  EncodableValue ReadValue(ByteStreamReader* stream) const;

  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

 protected:
  StandardCodecSerializer();

  // The tag byte was already read.
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  size_t ReadSize(ByteStreamReader* stream) const;
  void WriteSize(size_t size, ByteStreamWriter* stream) const;
};

class StandardMethodCodec : public MethodCodec {
 public:
  // The codec of serializer (null: the default serializer): one per
  // serializer, created on first request and kept for the process's life.
  static const StandardMethodCodec& GetInstance(const StandardCodecSerializer* serializer = nullptr);

  ~StandardMethodCodec() override;

  StandardMethodCodec(const StandardMethodCodec&) = delete;
  StandardMethodCodec& operator=(const StandardMethodCodec&) = delete;

 protected:
  std::unique_ptr<MethodCall> DecodeMethodCallInternal(const uint8_t* message,
                                                       size_t message_size) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeMethodCallInternal(
      const MethodCall& method_call) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeSuccessEnvelopeInternal(
      const EncodableValue* result) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeErrorEnvelopeInternal(
      const std::string& error_code, const std::string& error_message,
      const EncodableValue* error_details) const override;
  bool DecodeAndProcessResponseEnvelopeInternal(const uint8_t* response, size_t response_size,
                                                MethodResult* result) const override;

 private:
  explicit StandardMethodCodec(const StandardCodecSerializer* serializer);

  const StandardCodecSerializer* serializer_;
};

}  // namespace flutter
