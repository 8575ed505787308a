// BinaryMessengerImpl: the BinaryMessenger over one embedder messenger handle
// (not owned). Handlers are stored and installed on the platform thread;
// replies serialise themselves with the embedder and may come from any thread.
#pragma once

#include <map>
#include <string>

#include "channels/binary_messenger.h"
#include "channels/embedder_messenger_api.h"

namespace flutter {

class BinaryMessengerImpl : public BinaryMessenger {
 public:
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger);
  ~BinaryMessengerImpl() override;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReply reply = nullptr) const override;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  FlutterDesktopMessengerRef messenger() const { return messenger_; }

 private:
  FlutterDesktopMessengerRef messenger_;
  // The embedder holds the address of each stored handler as its callback
  // data: a node-based map keeps it fixed while the handler is registered.
  std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace flutter
