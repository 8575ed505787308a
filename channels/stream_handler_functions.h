// StreamHandlerFunctions: a StreamHandler made of two callables; a missing one
// answers with an error. Platform thread.
#pragma once

#include <functional>
#include <memory>

#include "channels/stream_handler.h"

namespace flutter {

using StreamHandlerListen = std::function<std::unique_ptr<StreamHandlerError>(
    const EncodableValue* arguments, std::unique_ptr<EventSink>&& events)>;
using StreamHandlerCancel =
    std::function<std::unique_ptr<StreamHandlerError>(const EncodableValue* arguments)>;

class StreamHandlerFunctions : public StreamHandler {
 public:
  StreamHandlerFunctions(StreamHandlerListen on_listen, StreamHandlerCancel on_cancel);
  ~StreamHandlerFunctions() override;

 protected:
  std::unique_ptr<StreamHandlerError> OnListenInternal(
      const EncodableValue* arguments, std::unique_ptr<EventSink>&& events) override;
  std::unique_ptr<StreamHandlerError> OnCancelInternal(const EncodableValue* arguments) override;

 private:
  StreamHandlerListen on_listen_;
  StreamHandlerCancel on_cancel_;
};

}  // namespace flutter
