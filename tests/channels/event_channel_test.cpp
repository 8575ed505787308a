// EventChannel against the stand-in messenger: every listen/cancel sequence,
// the events a sink sends, handlers without callables, removal.
#include "channels/event_channel.h"

#include <gtest/gtest.h>

#include "channels/channel_test_support.h"
#include "channels/stream_handler_functions.h"

namespace {

using channel_test::Bytes;
using channel_test::Codec;
using channel_test::EncodeCall;
using channel_test::Hex;
using channel_test::MessengerFixture;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::EventChannel;
using flutter::EventSink;
using flutter::StreamHandlerError;
using flutter::StreamHandlerFunctions;

constexpr char kChannel[] = "kelpmarrow.vpn/events";

class EventChannelTest : public MessengerFixture {
 protected:
  // A handler that logs its calls, keeps the latest sink and answers with
  // the configured errors.
  void InstallRecordingHandler() {
    auto handler = std::make_unique<StreamHandlerFunctions>(
        [this](const EncodableValue* arguments, std::unique_ptr<EventSink>&& events)
            -> std::unique_ptr<StreamHandlerError> {
          log_.push_back("listen " + Describe(arguments));
          sink_ = std::move(events);
          if (listen_error_) {
            return std::make_unique<StreamHandlerError>("listen_failed", "no",
                                                        std::make_unique<EncodableValue>(1.5));
          }
          return nullptr;
        },
        [this](const EncodableValue* arguments) -> std::unique_ptr<StreamHandlerError> {
          log_.push_back("cancel " + Describe(arguments));
          sink_.reset();
          if (cancel_error_) {
            return std::make_unique<StreamHandlerError>("cancel_failed", "busy", nullptr);
          }
          return nullptr;
        });
    EventChannel channel(messenger_.get(), kChannel, &Codec());
    channel.SetStreamHandler(std::move(handler));
  }

  static std::string Describe(const EncodableValue* arguments) {
    if (arguments == nullptr) return "none";
    if (arguments->IsNull()) return "null";
    if (const auto* text = std::get_if<std::string>(arguments)) return *text;
    return "other";
  }

  std::string Send(const std::string& method, const EncodableValue& arguments = EncodableValue()) {
    auto response = Call(kChannel, EncodeCall(method, arguments));
    return response ? Hex(*response) : "unanswered";
  }

  std::vector<std::string> log_;
  std::unique_ptr<EventSink> sink_;
  bool listen_error_ = false;
  bool cancel_error_ = false;
};

TEST_F(EventChannelTest, ListenThenCancel) {
  InstallRecordingHandler();
  EXPECT_EQ(Send("listen", EncodableValue("a")), "00 00");
  ASSERT_NE(sink_, nullptr);
  EXPECT_EQ(Send("cancel", EncodableValue("b")), "00 00");
  EXPECT_EQ(log_, (std::vector<std::string>{"listen a", "cancel b"}));
  // Idle again: a second cancel is refused.
  EXPECT_EQ(Send("cancel"), Hex(*Codec().EncodeErrorEnvelope("error", "No active stream to cancel")));
  EXPECT_EQ(log_.size(), 2u);
}

TEST_F(EventChannelTest, CancelBeforeListenIsRefused) {
  InstallRecordingHandler();
  std::vector<uint8_t> expected = Bytes("01 07 05 65 72 72 6F 72 07 1A");
  const std::string message = "No active stream to cancel";
  expected.insert(expected.end(), message.begin(), message.end());
  expected.push_back(0x00);
  EXPECT_EQ(Send("cancel"), Hex(expected));
  EXPECT_TRUE(log_.empty());
}

TEST_F(EventChannelTest, SecondListenCancelsTheFirstWithoutArguments) {
  InstallRecordingHandler();
  EXPECT_EQ(Send("listen", EncodableValue("1")), "00 00");
  EXPECT_EQ(Send("listen", EncodableValue("2")), "00 00");
  EXPECT_EQ(log_, (std::vector<std::string>{"listen 1", "cancel none", "listen 2"}));
  EXPECT_EQ(Send("cancel"), "00 00");
  EXPECT_EQ(log_.back(), "cancel null");
}

TEST_F(EventChannelTest, FailedCancelBeforeRelistenIsReported) {
  InstallRecordingHandler();
  Send("listen");
  cancel_error_ = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Send("listen"), "00 00");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to cancel existing stream: cancel_failed, busy, null\n");
  // The failed cancel still answers the UI's explicit cancel with the error.
  EXPECT_EQ(Send("cancel"), Hex(*Codec().EncodeErrorEnvelope("cancel_failed", "busy")));
  // ...and leaves the channel idle.
  cancel_error_ = false;
  EXPECT_EQ(Send("cancel"), Hex(*Codec().EncodeErrorEnvelope("error", "No active stream to cancel")));
}

TEST_F(EventChannelTest, ListenErrorLeavesTheChannelListening) {
  InstallRecordingHandler();
  listen_error_ = true;
  EncodableValue details(1.5);
  EXPECT_EQ(Send("listen"), Hex(*Codec().EncodeErrorEnvelope("listen_failed", "no", &details)));
  EXPECT_EQ(Send("cancel"), "00 00");
  EXPECT_EQ(log_, (std::vector<std::string>{"listen null", "cancel null"}));
}

TEST_F(EventChannelTest, OtherMethodsAndUndecodableMessagesGetEmptyReplies) {
  InstallRecordingHandler();
  EXPECT_EQ(Send("pause"), "");
  testing::internal::CaptureStderr();
  auto response = Call(kChannel, Bytes("01"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel: kelpmarrow.vpn/events\n");
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(Hex(*response), "");
  EXPECT_TRUE(log_.empty());
}

TEST_F(EventChannelTest, SinkSendsEventsOnTheChannel) {
  InstallRecordingHandler();
  Send("listen");
  ASSERT_NE(sink_, nullptr);
  sink_->Success(EncodableValue(EncodableMap{{EncodableValue("state"), EncodableValue("running")},
                                             {EncodableValue("message"), EncodableValue("")}}));
  sink_->Success();
  sink_->Error("core_failed", "exit 1");
  sink_->EndOfStream();
  auto sent = SentMessages();
  ASSERT_EQ(sent.size(), 4u);
  for (const auto& message : sent) EXPECT_EQ(message.channel, kChannel);
  // Keys in order: "message" before "state".
  EXPECT_EQ(Hex(sent[0].bytes),
            "00 0D 02 07 07 6D 65 73 73 61 67 65 07 00 07 05 73 74 61 74 65 07 07 72 75 6E 6E 69 "
            "6E 67");
  EXPECT_EQ(Hex(sent[1].bytes), "00 00");
  EXPECT_EQ(Hex(sent[2].bytes), Hex(*Codec().EncodeErrorEnvelope("core_failed", "exit 1")));
  EXPECT_EQ(Hex(sent[3].bytes), "");
}

TEST_F(EventChannelTest, HandlerWithoutCallablesAnswersWithErrors) {
  EventChannel(messenger_.get(), kChannel, &Codec())
      .SetStreamHandler(std::make_unique<StreamHandlerFunctions>(nullptr, nullptr));
  EXPECT_EQ(Send("listen"), Hex(*Codec().EncodeErrorEnvelope("error", "No OnListen handler set")));
  EXPECT_EQ(Send("cancel"), Hex(*Codec().EncodeErrorEnvelope("error", "No OnCancel handler set")));
}

TEST_F(EventChannelTest, RemovingTheStreamHandler) {
  InstallRecordingHandler();
  Send("listen");
  EventChannel(messenger_.get(), kChannel, &Codec()).SetStreamHandler(nullptr);
  EXPECT_FALSE(StandinMessengerHasCallback(engine_messenger_, kChannel));
  EXPECT_EQ(Send("cancel"), "");
  EXPECT_EQ(log_, (std::vector<std::string>{"listen null"}));
}

}  // namespace
