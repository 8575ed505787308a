// MethodChannel: a handle that installs a method-call handler for one channel
// name on a messenger. The registration lives in the messenger, so the channel
// object may be destroyed once its handler is set. Platform thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/method_call.h"
#include "channels/method_result.h"
#include "channels/standard_codec.h"

namespace flutter {

// Gets the call and the result to answer (now or later, from any thread).
using MethodCallHandler =
    std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;

class MethodChannel {
 public:
  // messenger and codec are not owned.
  MethodChannel(BinaryMessenger* messenger, const std::string& name,
                const StandardMethodCodec* codec);
  ~MethodChannel();

  MethodChannel(const MethodChannel&) = delete;
  MethodChannel& operator=(const MethodChannel&) = delete;

  // A null handler removes the channel's handler.
  void SetMethodCallHandler(MethodCallHandler handler) const;

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
