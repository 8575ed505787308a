// BinaryMessenger: routes platform channel messages by channel name to stored
// handlers and sends messages and replies to the UI. Handlers are set and
// called on the platform (window) thread; a reply may come from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// The reply to one message: bytes (may be null) and length.
using BinaryReply = std::function<void(const uint8_t* reply, size_t reply_size)>;

// Handles one incoming message; answers it by calling reply, now or later.
using BinaryMessageHandler =
    std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>;

class BinaryMessenger {
 public:
  BinaryMessenger() = default;
  virtual ~BinaryMessenger();

  BinaryMessenger(const BinaryMessenger&) = delete;
  BinaryMessenger& operator=(const BinaryMessenger&) = delete;

  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply = nullptr) const = 0;

  // A null handler removes the channel's handler.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter
