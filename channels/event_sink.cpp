// EventSink's public operations, forwarding to the implementation. Platform
// thread.
#include "channels/event_sink.h"

namespace flutter {

EventSink::~EventSink() = default;

void EventSink::Success(const EncodableValue& event) { SuccessInternal(&event); }

void EventSink::Success() { SuccessInternal(nullptr); }

void EventSink::Error(const std::string& error_code, const std::string& error_message,
                      const EncodableValue* error_details) {
  ErrorInternal(error_code, error_message, error_details);
}

void EventSink::EndOfStream() { EndOfStreamInternal(); }

}  // namespace flutter
