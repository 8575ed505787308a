// BinaryMessengerImpl over the stand-in embedder's messenger: routing,
// responses from any thread, duplicate responses, replies after the engine is
// gone, messenger references, removing handlers, sends with and without reply.
#include "channels/binary_messenger_impl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "channels/channel_test_support.h"

namespace {

using channel_test::Hex;
using channel_test::MessengerFixture;
using flutter::BinaryReply;

using BinaryMessengerTest = MessengerFixture;

TEST_F(BinaryMessengerTest, RoutesByChannelAndAnswersOnce) {
  std::vector<std::string> seen;
  messenger_->SetMessageHandler("a", [&](const uint8_t* message, size_t size, BinaryReply reply) {
    seen.push_back("a:" + Hex(std::vector<uint8_t>(message, message + size)));
    const uint8_t answer[] = {0x00, 0x01};
    reply(answer, sizeof(answer));
  });
  messenger_->SetMessageHandler("b", [&](const uint8_t*, size_t size, BinaryReply reply) {
    seen.push_back("b:" + std::to_string(size));
    reply(nullptr, 0);
  });
  EXPECT_EQ(Hex(*Call("a", {0x07, 0x00})), "00 01");
  EXPECT_EQ(Hex(*Call("b", {})), "");
  // A channel without a handler gets the engine's empty answer.
  EXPECT_EQ(Hex(*Call("c", {0x01})), "");
  EXPECT_EQ(seen, (std::vector<std::string>{"a:07 00", "b:0"}));
  EXPECT_EQ(StandinMessengerPendingResponses(engine_messenger_), 0u);
}

TEST_F(BinaryMessengerTest, ReplacingAHandlerKeepsOneRegistration) {
  int first = 0, second = 0;
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    ++first;
    reply(nullptr, 0);
  });
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    ++second;
    reply(nullptr, 0);
  });
  Call("ch", {});
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
}

TEST_F(BinaryMessengerTest, RemovingAHandlerRemovesTheEmbedderCallback) {
  int calls = 0;
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    ++calls;
    const uint8_t answer[] = {0x00, 0x00};
    reply(answer, 2);
  });
  ASSERT_TRUE(StandinMessengerHasCallback(engine_messenger_, "ch"));
  messenger_->SetMessageHandler("ch", nullptr);
  EXPECT_FALSE(StandinMessengerHasCallback(engine_messenger_, "ch"));
  EXPECT_EQ(Hex(*Call("ch", {0x01})), "");  // the engine's own empty answer
  EXPECT_EQ(calls, 0);
}

TEST_F(BinaryMessengerTest, AHandlerMayRemoveItselfWhileRunning) {
  messenger_->SetMessageHandler("ch", [this](const uint8_t*, size_t, BinaryReply reply) {
    messenger_->SetMessageHandler("ch", nullptr);
    const uint8_t answer[] = {0x00, 0x01};
    reply(answer, 2);
  });
  EXPECT_EQ(Hex(*Call("ch", {})), "00 01");
  EXPECT_FALSE(StandinMessengerHasCallback(engine_messenger_, "ch"));
}

TEST_F(BinaryMessengerTest, DuplicateResponseIsIgnoredWithDiagnostic) {
  messenger_->SetMessageHandler("ch", [](const uint8_t*, size_t, BinaryReply reply) {
    const uint8_t first[] = {0x00, 0x01};
    const uint8_t second[] = {0x00, 0x02};
    BinaryReply copy = reply;  // copies share the one response handle
    reply(first, 2);
    testing::internal::CaptureStderr();
    copy(second, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Response can be set only once. Ignoring duplicate response.\n");
  });
  Deliver("ch", {});
  ASSERT_EQ(ResponseCount(), 1u);
  EXPECT_EQ(Hex(responses_[0]), "00 01");
}

TEST_F(BinaryMessengerTest, ReplyFromAnotherThreadKeepsTheMessengerAlive) {
  BinaryReply kept;
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    kept = std::move(reply);
  });
  const int before = StandinMessengerRefCount(engine_messenger_);
  Deliver("ch", {0x07, 0x00});
  EXPECT_EQ(ResponseCount(), 0u);
  EXPECT_EQ(StandinMessengerRefCount(engine_messenger_), before + 1);
  std::thread replier([&kept] {
    const uint8_t answer[] = {0x00, 0x03, 0x05, 0x00, 0x00, 0x00};
    kept(answer, sizeof(answer));
    kept = nullptr;  // the last copy goes: the reference is released
  });
  replier.join();
  ASSERT_EQ(ResponseCount(), 1u);
  EXPECT_EQ(Hex(responses_[0]), "00 03 05 00 00 00");
  EXPECT_EQ(StandinMessengerRefCount(engine_messenger_), before);
}

TEST_F(BinaryMessengerTest, ReplyAfterTheEngineIsGoneIsDroppedSilently) {
  BinaryReply kept;
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    kept = std::move(reply);
  });
  Deliver("ch", {});
  FlutterDesktopMessengerRef raw = engine_messenger_;
  FlutterDesktopMessengerAddRef(raw);  // the test's own look at the count
  ReleaseEngine();
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(raw));
  EXPECT_EQ(StandinMessengerRefCount(raw), 2);  // the test's and the pending reply's
  testing::internal::CaptureStderr();
  const uint8_t answer[] = {0x00, 0x00};
  kept(answer, 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ResponseCount(), 0u);
  kept = nullptr;
  EXPECT_EQ(StandinMessengerRefCount(raw), 1);
  FlutterDesktopMessengerRelease(raw);
}

TEST_F(BinaryMessengerTest, ConcurrentRepliesAreSerialised) {
  std::vector<BinaryReply> kept;
  messenger_->SetMessageHandler("ch", [&](const uint8_t*, size_t, BinaryReply reply) {
    kept.push_back(std::move(reply));
  });
  constexpr int kMessages = 64;
  for (int i = 0; i < kMessages; ++i) Deliver("ch", {static_cast<uint8_t>(i)});
  ASSERT_EQ(kept.size(), static_cast<size_t>(kMessages));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&kept, t] {
      for (int i = t; i < kMessages; i += 4) {
        const uint8_t answer[] = {0x00, static_cast<uint8_t>(i)};
        kept[i](answer, 2);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ResponseCount(), static_cast<size_t>(kMessages));
  EXPECT_EQ(StandinMessengerPendingResponses(engine_messenger_), 0u);
}

// The stand-in's own promise to its engine: once the messenger is marked
// unavailable, no send hook runs any more, so the engine may free its state.
TEST_F(BinaryMessengerTest, UnavailableWaitsForRunningSendHooks) {
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  StandinMessengerSetSendHook(engine_messenger_, [&](const std::string&, const std::vector<uint8_t>&,
                                                     StandinReplyFunction) {
    entered.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    finished = true;
  });
  std::thread sender([this] {
    const uint8_t event[] = {0x00, 0x00};
    messenger_->Send("events", event, sizeof(event));
  });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  StandinMessengerSetUnavailable(engine_messenger_);
  EXPECT_TRUE(finished);
  sender.join();
  // Later sends are refused and reach no hook.
  EXPECT_FALSE(FlutterDesktopMessengerSend(engine_messenger_, "events", nullptr, 0));
}

TEST_F(BinaryMessengerTest, SendsWithAndWithoutReply) {
  const uint8_t event[] = {0x00, 0x01};
  messenger_->Send("events", event, sizeof(event));
  std::vector<uint8_t> reply_bytes;
  int replies = 0;
  messenger_->Send("ask", event, 1, [&](const uint8_t* reply, size_t size) {
    ++replies;
    reply_bytes.assign(reply, reply + size);
  });
  auto sent = SentMessages();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].channel, "events");
  EXPECT_EQ(Hex(sent[0].bytes), "00 01");
  EXPECT_EQ(sent[1].channel, "ask");
  ASSERT_EQ(pending_replies_.size(), 1u);
  pending_replies_[0]({0x00, 0x02});
  pending_replies_[0]({0x00, 0x03});  // the stand-in passes one reply only
  EXPECT_EQ(replies, 1);
  EXPECT_EQ(Hex(reply_bytes), "00 02");

  // Refused by the embedder (engine gone): the reply is never called.
  FlutterDesktopMessengerRef raw = FlutterDesktopMessengerAddRef(engine_messenger_);
  flutter::BinaryMessengerImpl orphan(raw);
  ReleaseEngine();
  orphan.Send("ask", event, 1, [&](const uint8_t*, size_t) { ++replies; });
  orphan.Send("events", event, 1);
  EXPECT_EQ(replies, 1);
  FlutterDesktopMessengerRelease(raw);
}

}  // namespace
