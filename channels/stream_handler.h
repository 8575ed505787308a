// StreamHandler: the host side of a UI event stream, told when the UI starts
// listening (with a sink for the events) and when it cancels. Platform thread.
#pragma once

#include <memory>
#include <string>

#include "channels/encodable_value.h"
#include "channels/event_sink.h"

namespace flutter {

struct StreamHandlerError {
  std::string error_code;
  std::string error_message;
  std::unique_ptr<EncodableValue> error_details;  // null: none

  StreamHandlerError(const std::string& code, const std::string& message,
                     std::unique_ptr<EncodableValue>&& details)
      : error_code(code), error_message(message), error_details(std::move(details)) {}
};

class StreamHandler {
 public:
  StreamHandler() = default;
  virtual ~StreamHandler();

  StreamHandler(const StreamHandler&) = delete;
  StreamHandler& operator=(const StreamHandler&) = delete;

  // Null result: success.
  std::unique_ptr<StreamHandlerError> OnListen(const EncodableValue* arguments,
                                               std::unique_ptr<EventSink>&& events) {
    return OnListenInternal(arguments, std::move(events));
  }
  std::unique_ptr<StreamHandlerError> OnCancel(const EncodableValue* arguments) {
    return OnCancelInternal(arguments);
  }

 protected:
  virtual std::unique_ptr<StreamHandlerError> OnListenInternal(
      const EncodableValue* arguments, std::unique_ptr<EventSink>&& events) = 0;
  virtual std::unique_ptr<StreamHandlerError> OnCancelInternal(const EncodableValue* arguments) = 0;
};

}  // namespace flutter
