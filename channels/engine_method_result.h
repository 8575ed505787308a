// EngineMethodResult: the MethodResult of a method call that came from the
// UI. It encodes the answer with the channel's codec and sends it through a
// reply manager that lets exactly one answer through. Answers may be given on
// any thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "channels/binary_messenger.h"
#include "channels/method_codec.h"
#include "channels/method_result.h"

namespace flutter {

namespace internal {

// Owns the reply callback of one incoming message until the first response.
class ReplyManager {
 public:
  explicit ReplyManager(BinaryReply reply_handler);
  // Still holding the callback: a warning, nothing is sent.
  ~ReplyManager();

  ReplyManager(const ReplyManager&) = delete;
  ReplyManager& operator=(const ReplyManager&) = delete;

  // Sends data (null or empty: an empty reply) the first time; later calls
  // only write a diagnostic. Any thread; two threads answering at once still
  // let exactly one answer through.
  void SendResponseData(const std::vector<uint8_t>* data);

 private:
  std::mutex mutex_;           // guards reply_handler_
  BinaryReply reply_handler_;  // empty once the answer went out
};

}  // namespace internal

class EngineMethodResult : public MethodResult {
 public:
  // codec is not owned and must outlive the result (the shared codecs do).
  EngineMethodResult(BinaryReply reply_handler, const MethodCodec* codec);
  ~EngineMethodResult() override;

 protected:
  void SuccessInternal(const EncodableValue* result) override;
  void ErrorInternal(const std::string& error_code, const std::string& error_message,
                     const EncodableValue* error_details) override;
  void NotImplementedInternal() override;

 private:
  std::unique_ptr<internal::ReplyManager> reply_manager_;
  const MethodCodec* codec_;
};

}  // namespace flutter
