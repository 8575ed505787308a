// MethodChannel and EngineMethodResult against the stand-in messenger: calls
// reach the handler decoded, every kind of answer is encoded, duplicate and
// missing answers, undecodable messages, removing the handler.
#include "channels/method_channel.h"

#include <gtest/gtest.h>

#include <thread>

#include "channels/channel_test_support.h"
#include "channels/engine_method_result.h"
#include "support/allocation_watch.h"

namespace {

using channel_test::Bytes;
using channel_test::Codec;
using channel_test::EncodeCall;
using channel_test::Hex;
using channel_test::MessengerFixture;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::MethodCall;
using flutter::MethodChannel;
using flutter::MethodResult;

constexpr char kChannel[] = "kelpmarrow.vpn/core";

class MethodChannelTest : public MessengerFixture {
 protected:
  // Installs handler through a channel object that is gone right after.
  void Install(flutter::MethodCallHandler handler) {
    MethodChannel channel(messenger_.get(), kChannel, &Codec());
    channel.SetMethodCallHandler(std::move(handler));
  }
};

TEST_F(MethodChannelTest, DecodedCallReachesHandlerAndEveryAnswerIsEncoded) {
  std::vector<std::string> methods;
  Install([&](const MethodCall& call, std::unique_ptr<MethodResult> result) {
    methods.push_back(call.method_name());
    if (call.method_name() == "start") {
      ASSERT_NE(call.arguments(), nullptr);
      EXPECT_EQ(*call.arguments(), EncodableValue("{\"log\":{}}"));
      result->Success(EncodableValue(true));
    } else if (call.method_name() == "status") {
      result->Success(EncodableValue(EncodableMap{{EncodableValue("state"), EncodableValue("running")}}));
    } else if (call.method_name() == "stop") {
      result->Success();
    } else if (call.method_name() == "fail") {
      result->Error("start_failed", "Could not start");
    } else if (call.method_name() == "failDetails") {
      result->Error("bad_payload", "", EncodableValue(int32_t{5}));
    } else {
      result->NotImplemented();
    }
  });
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("start", EncodableValue("{\"log\":{}}")))), "00 01");
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("status", EncodableValue()))),
            "00 0D 01 07 05 73 74 61 74 65 07 07 72 75 6E 6E 69 6E 67");
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("stop", EncodableValue()))), "00 00");
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("fail", EncodableValue()))),
            Hex(*Codec().EncodeErrorEnvelope("start_failed", "Could not start")));
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("failDetails", EncodableValue()))),
            "01 07 0B 62 61 64 5F 70 61 79 6C 6F 61 64 00 03 05 00 00 00");
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("unknownMethod", EncodableValue()))), "");
  EXPECT_EQ(methods.size(), 6u);
}

TEST_F(MethodChannelTest, SecondAnswerIsIgnoredWithDiagnostic) {
  Install([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Success(EncodableValue(int32_t{1}));
    testing::internal::CaptureStderr();
    result->Error("late", "too late");
    result->NotImplemented();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Only one of Success, Error, or NotImplemented can be called, and it can be "
              "called exactly once. Ignoring duplicate result.\n"
              "Error: Only one of Success, Error, or NotImplemented can be called, and it can be "
              "called exactly once. Ignoring duplicate result.\n");
  });
  Deliver(kChannel, EncodeCall("isOurVpnRunning", EncodableValue()));
  ASSERT_EQ(ResponseCount(), 1u);
  EXPECT_EQ(Hex(responses_[0]), "00 03 01 00 00 00");
}

TEST_F(MethodChannelTest, ResultDestroyedUnansweredWarnsAndSendsNothing) {
  Install([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    testing::internal::CaptureStderr();
    result.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: Failed to respond to a message. This is a memory leak.\n");
  });
  Deliver(kChannel, EncodeCall("stop", EncodableValue()));
  EXPECT_EQ(ResponseCount(), 0u);
  // The UI's call stays unanswered; the stand-in still holds its handle.
  EXPECT_EQ(StandinMessengerPendingResponses(engine_messenger_), 1u);
}

TEST_F(MethodChannelTest, AnswerLaterFromAnotherThread) {
  std::unique_ptr<MethodResult> kept;
  Install([&](const MethodCall&, std::unique_ptr<MethodResult> result) { kept = std::move(result); });
  Deliver(kChannel, EncodeCall("start", EncodableValue("{}")));
  EXPECT_EQ(ResponseCount(), 0u);
  std::thread answer([&kept] {
    kept->Error("start_failed", "no core");
    kept.reset();
  });
  answer.join();
  ASSERT_EQ(ResponseCount(), 1u);
  EXPECT_EQ(Hex(responses_[0]), Hex(*Codec().EncodeErrorEnvelope("start_failed", "no core")));
}

TEST_F(MethodChannelTest, RacingAnswersLetExactlyOneThrough) {
  std::vector<std::unique_ptr<MethodResult>> kept;
  Install([&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    kept.push_back(std::move(result));
  });
  constexpr int kCalls = 50;
  for (int i = 0; i < kCalls; ++i) Deliver(kChannel, EncodeCall("stop", EncodableValue()));
  ASSERT_EQ(kept.size(), static_cast<size_t>(kCalls));
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&kept, t] {
      for (auto& result : kept) result->Success(EncodableValue(int32_t{t}));
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ResponseCount(), static_cast<size_t>(kCalls));
  size_t lines = 0;
  for (char c : diagnostics) lines += c == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(kCalls));  // one duplicate-result line per call
}

TEST_F(MethodChannelTest, UndecodableMessageIsAnsweredNotImplemented) {
  int calls = 0;
  Install([&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    ++calls;
    result->Success();
  });
  testing::internal::CaptureStderr();
  auto response = Call(kChannel, Bytes("03 01 00 00 00 00"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel kelpmarrow.vpn/core\n");
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(Hex(*response), "");
  testing::internal::CaptureStderr();
  response = Call(kChannel, {});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid read in StandardCodecByteStreamReader\n"
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel kelpmarrow.vpn/core\n");
  EXPECT_EQ(Hex(*response), "");
  EXPECT_EQ(calls, 0);
}

TEST_F(MethodChannelTest, RemovingTheHandler) {
  Install([](const MethodCall&, std::unique_ptr<MethodResult> result) { result->Success(); });
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("stop", EncodableValue()))), "00 00");
  MethodChannel(messenger_.get(), kChannel, &Codec()).SetMethodCallHandler(nullptr);
  EXPECT_FALSE(StandinMessengerHasCallback(engine_messenger_, kChannel));
  EXPECT_EQ(Hex(*Call(kChannel, EncodeCall("stop", EncodableValue()))), "");
}

TEST_F(MethodChannelTest, ThrowingHandlerDoesNotCrossIntoTheEmbedder) {
  Install([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Error("boom", "thrown next");
    throw std::runtime_error("handler failed");
  });
  testing::internal::CaptureStderr();
  auto response = Call(kChannel, EncodeCall("x", EncodableValue()));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("handler failed"), std::string::npos);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(Hex(*response), Hex(*Codec().EncodeErrorEnvelope("boom", "thrown next")));
}

}  // namespace

namespace {

TEST_F(MethodChannelTest, DecodedArgumentsAreWipedOnceTheHandlerReturns) {
  Install([](const MethodCall& call, std::unique_ptr<MethodResult> result) {
    const auto& list = std::get<flutter::EncodableList>(*call.arguments());
    allocation_watch::Watch(std::get<std::string>(list[0]).data(), 300);
    result->Success();
  });
  // A VPN configuration, say, inside a list.
  Deliver(kChannel, EncodeCall("start", EncodableValue(flutter::EncodableList{
                                            EncodableValue(std::string(300, 's'))})));
  EXPECT_EQ(allocation_watch::Watched(), allocation_watch::Freed::kZeroed);
}

TEST(EngineMethodResultWipe, EncodedAnswerIsWipedOnceSent) {
  flutter::EngineMethodResult result(
      [](const uint8_t* reply, size_t size) { allocation_watch::Watch(reply, size); }, &Codec());
  result.Success(EncodableValue(std::string(300, 'd')));  // a settings document, say
  EXPECT_EQ(allocation_watch::Watched(), allocation_watch::Freed::kZeroed);
}

}  // namespace
