// Helpers for the channel layer's tests: hexadecimal byte strings, and a
// messenger fixture that plays the UI's part through the stand-in embedder.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channels/binary_messenger_impl.h"
#include "channels/encodable_value.h"
#include "channels/standard_codec.h"
#include "stand-ins/flutter_windows/standin_messenger.h"

namespace channel_test {

// "00 0D 01" (spaces optional, either case) to bytes.
inline std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Bytes to upper-case hexadecimal pairs separated by spaces.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

inline std::vector<uint8_t> StringBytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::GetInstance();
}

inline std::vector<uint8_t> EncodeCall(const std::string& method,
                                       const flutter::EncodableValue& arguments) {
  flutter::MethodCall call(method, std::make_unique<flutter::EncodableValue>(arguments));
  return *Codec().EncodeMethodCall(call);
}

// A stand-in messenger with a BinaryMessengerImpl over it; records what the
// host sends and the responses to what the test delivers.
class MessengerFixture : public ::testing::Test {
 protected:
  struct Sent {
    std::string channel;
    std::vector<uint8_t> bytes;
  };

  void SetUp() override {
    engine_messenger_ = StandinMessengerCreate();
    StandinMessengerSetSendHook(
        engine_messenger_, [this](const std::string& channel, const std::vector<uint8_t>& bytes,
                                  StandinReplyFunction reply) {
          std::lock_guard<std::mutex> guard(mutex_);
          sent_.push_back({channel, bytes});
          if (reply) pending_replies_.push_back(std::move(reply));
        });
    messenger_ = std::make_unique<flutter::BinaryMessengerImpl>(engine_messenger_);
  }

  void TearDown() override {
    messenger_.reset();
    if (engine_messenger_ != nullptr) ReleaseEngine();
  }

  // The engine goes away: unavailable, and its own reference dropped.
  void ReleaseEngine() {
    StandinMessengerSetUnavailable(engine_messenger_);
    FlutterDesktopMessengerRelease(engine_messenger_);
    engine_messenger_ = nullptr;
  }

  // Delivers a message from the UI; the response lands in responses_ (in
  // arrival order) whenever the host answers.
  bool Deliver(const std::string& channel, const std::vector<uint8_t>& message) {
    return StandinMessengerDeliver(engine_messenger_, channel, message,
                                   [this](const std::vector<uint8_t>& response) {
                                     std::lock_guard<std::mutex> guard(mutex_);
                                     responses_.push_back(response);
                                   });
  }

  // Delivers and returns the one response given during the delivery.
  std::optional<std::vector<uint8_t>> Call(const std::string& channel,
                                           const std::vector<uint8_t>& message) {
    const size_t before = ResponseCount();
    Deliver(channel, message);
    std::lock_guard<std::mutex> guard(mutex_);
    if (responses_.size() != before + 1) return std::nullopt;
    return responses_.back();
  }

  size_t ResponseCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return responses_.size();
  }

  std::vector<Sent> SentMessages() {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_;
  }

  FlutterDesktopMessengerRef engine_messenger_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;

  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> responses_;
  std::vector<Sent> sent_;
  std::deque<StandinReplyFunction> pending_replies_;
};

}  // namespace channel_test
