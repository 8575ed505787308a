// EngineMethodResult and its reply manager: encode the answer to a call from
// the UI and let exactly one answer through. Any thread.
#include "channels/engine_method_result.h"

#include <iostream>
#include <utility>

#include "channels/secure_wipe.h"

namespace flutter {

namespace internal {

ReplyManager::ReplyManager(BinaryReply reply_handler) : reply_handler_(std::move(reply_handler)) {}

ReplyManager::~ReplyManager() {
  if (reply_handler_) {
    std::cerr << "Warning: Failed to respond to a message. This is a memory leak." << std::endl;
  }
}

void ReplyManager::SendResponseData(const std::vector<uint8_t>* data) {
  // Taken out first, so that the callback is gone even if it throws; called
  // outside the lock.
  BinaryReply reply;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    reply = std::move(reply_handler_);
    reply_handler_ = nullptr;
  }
  if (!reply) {
    std::cerr << "Error: Only one of Success, Error, or NotImplemented can be called,"
              << " and it can be called exactly once. Ignoring duplicate result." << std::endl;
    return;
  }
  const bool empty = data == nullptr || data->empty();
  reply(empty ? nullptr : data->data(), empty ? 0 : data->size());
}

}  // namespace internal

EngineMethodResult::EngineMethodResult(BinaryReply reply_handler, const MethodCodec* codec)
    : reply_manager_(std::make_unique<internal::ReplyManager>(std::move(reply_handler))),
      codec_(codec) {}

EngineMethodResult::~EngineMethodResult() = default;

void EngineMethodResult::SuccessInternal(const EncodableValue* result) {
  auto data = codec_->EncodeSuccessEnvelope(result);
  // The encoded answer may carry a secret (the settings document): wiped
  // once the embedder has taken its copy, even if sending throws.
  struct WipeOnExit {
    std::vector<uint8_t>& bytes;
    ~WipeOnExit() { WipeBytes(bytes); }
  } wipe{*data};
  reply_manager_->SendResponseData(data.get());
}

void EngineMethodResult::ErrorInternal(const std::string& error_code,
                                       const std::string& error_message,
                                       const EncodableValue* error_details) {
  auto data = codec_->EncodeErrorEnvelope(error_code, error_message, error_details);
  reply_manager_->SendResponseData(data.get());
}

void EngineMethodResult::NotImplementedInternal() { reply_manager_->SendResponseData(nullptr); }

}  // namespace flutter
