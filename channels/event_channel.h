// EventChannel: a handle that installs the listen/cancel protocol of a UI
// event stream for one channel name on a messenger, driving a StreamHandler.
// The registration lives in the messenger, so the channel object may be
// destroyed once its handler is set. Platform thread.
#pragma once

#include <memory>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/event_sink.h"
#include "channels/standard_codec.h"
#include "channels/stream_handler.h"

namespace flutter {

class EventChannel {
 public:
  // messenger and codec are not owned.
  EventChannel(BinaryMessenger* messenger, const std::string& name,
               const StandardMethodCodec* codec);
  ~EventChannel();

  EventChannel(const EventChannel&) = delete;
  EventChannel& operator=(const EventChannel&) = delete;

  // A null handler removes the channel's handler.
  void SetStreamHandler(std::unique_ptr<StreamHandler> handler) const;

  // The sink given to OnListen: sends each event on the channel without a
  // reply. Must not outlive the messenger.
  class EventSinkImplementation : public EventSink {
   public:
    EventSinkImplementation(const BinaryMessenger* messenger, const std::string& name,
                            const MethodCodec* codec);
    ~EventSinkImplementation() override;

   private:
    void SuccessInternal(const EncodableValue* event) override;
    void ErrorInternal(const std::string& error_code, const std::string& error_message,
                       const EncodableValue* error_details) override;
    void EndOfStreamInternal() override;

    const BinaryMessenger* messenger_;
    std::string name_;
    const MethodCodec* codec_;
  };

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
