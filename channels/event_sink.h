// EventSink: where a stream handler puts the events of a UI event stream.
// Carries no lock: call it on the platform thread.
#pragma once

#include <string>

#include "channels/encodable_value.h"

namespace flutter {

class EventSink {
 public:
  EventSink() = default;
  virtual ~EventSink();

  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  void Success(const EncodableValue& event);
  void Success();
  void Error(const std::string& error_code, const std::string& error_message = "",
             const EncodableValue* error_details = nullptr);
  void EndOfStream();

 protected:
  virtual void SuccessInternal(const EncodableValue* event) = 0;
  virtual void ErrorInternal(const std::string& error_code, const std::string& error_message,
                             const EncodableValue* error_details) = 0;
  virtual void EndOfStreamInternal() = 0;
};

}  // namespace flutter
