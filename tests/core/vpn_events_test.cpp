// VPN events from emission to the UI: real window messages on the test
// thread's message-only window, real threads, the stand-in messenger as the
// UI's side of "kelpmarrow.vpn/events", real session log files.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "channels/event_sink.h"
#include "channels/stream_handler.h"
#include "core/core_process.h"
#include "core/vpn_event_poster.h"
#include "diagnostics/session_log.h"
#include "core/core_channel_harness.h"

namespace {

using namespace dispatch_test;

class VpnEventsTest : public ::testing::Test {
 protected:
  void SetUp() override { harness.Register(); }
  void TearDown() override { SessionLog::End(); }

  // Pumps until `count` events reached the UI (or 10 s passed).
  bool PumpForEvents(size_t count) {
    return EventWindow::PumpUntil([&] { return harness.EventCount() >= count; }, 10000);
  }
  // Pumps until the window has seen at least one more drain message.
  void PumpOneDrain() {
    const int before = EventWindow::Drains();
    EventWindow::PumpUntil([&] { return EventWindow::Drains() > before; }, 5000);
  }
  // Gives stray deliveries a chance to show up.
  void PumpAWhile() {
    EventWindow::PumpUntil([] { return false; }, 150);
  }

  ScratchFolder scratch;
  CoreChannelHarness harness;
};

void ExpectEvent(const SentEvent& event, const std::string& state, const std::string& message) {
  EXPECT_TRUE(event.wellFormed);
  EXPECT_EQ(event.state, state);
  EXPECT_EQ(event.message, message);
}

TEST_F(VpnEventsTest, EventsFromSeveralThreadsArriveInOneDrainInEmissionOrder) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  // Emitted one thread after the other, before the window thread pumps.
  const std::vector<std::pair<std::string, std::string>> emitted = {
      {"starting", "preparing protected configuration pipe"},
      {"starting", "pid=4242"},
      {"running", "sing-box up"},
      {"network_lost", "state query"},
  };
  for (const auto& [state, message] : emitted) {
    std::thread([&] { EmitVpnEvent(state, message); }).join();
  }
  ASSERT_TRUE(PumpForEvents(emitted.size()));
  PumpAWhile();
  const auto events = harness.Events();
  ASSERT_EQ(events.size(), emitted.size());
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectEvent(events[i], emitted[i].first, emitted[i].second);
    EXPECT_EQ(events[i].drain, events[0].drain);  // all in the same drain
  }
  EXPECT_EQ(LastVpnState(), "network_lost");
}

TEST_F(VpnEventsTest, EmptyMessageIsDeliveredAsEmptyString) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  EmitVpnEvent("stopping", "");
  ASSERT_TRUE(PumpForEvents(1));
  ExpectEvent(harness.Events()[0], "stopping", "");
}

TEST_F(VpnEventsTest, UnheardEventsAreDroppedAndALaterListenDoesNotReplayThem) {
  EmitVpnEvent("starting", "pid=1");
  EmitVpnEvent("running", "sing-box up");
  PumpOneDrain();
  EXPECT_EQ(LastVpnState(), "running");

  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  PumpAWhile();
  EXPECT_EQ(harness.EventCount(), 0u);

  EmitVpnEvent("stopping", "");
  ASSERT_TRUE(PumpForEvents(1));
  PumpAWhile();
  ASSERT_EQ(harness.EventCount(), 1u);
  ExpectEvent(harness.Events()[0], "stopping", "");
}

TEST_F(VpnEventsTest, EventQueuedBeforeListenButDrainedAfterIsDelivered) {
  EmitVpnEvent("network_restored", "Windows resumed");  // not drained yet
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  ASSERT_TRUE(PumpForEvents(1));
  ExpectEvent(harness.Events()[0], "network_restored", "Windows resumed");
}

TEST_F(VpnEventsTest, CancelStopsDeliveryAndAListenAgainResumesIt) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));  // replaces the first
  EmitVpnEvent("idle", "one");
  ASSERT_TRUE(PumpForEvents(1));
  PumpAWhile();
  EXPECT_EQ(harness.EventCount(), 1u);  // one sink, one delivery

  ASSERT_TRUE(harness.Cancel().IsSuccess(EncodableValue()));
  EmitVpnEvent("idle", "two");
  PumpOneDrain();
  PumpAWhile();
  EXPECT_EQ(harness.EventCount(), 1u);

  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  EmitVpnEvent("idle", "three");
  ASSERT_TRUE(PumpForEvents(2));
  ExpectEvent(harness.Events()[1], "idle", "three");
}

// A sink of the test's own, so that two sinks can be told apart.
class RecordingSink : public flutter::EventSink {
 public:
  RecordingSink(std::vector<std::string>* received, bool* destroyed)
      : received_(received), destroyed_(destroyed) {}
  ~RecordingSink() override { *destroyed_ = true; }

 protected:
  void SuccessInternal(const EncodableValue* event) override {
    const auto* map = event ? std::get_if<EncodableMap>(event) : nullptr;
    if (!map) {
      received_->push_back("<not a map>");
      return;
    }
    const auto* message = std::get_if<std::string>(&map->at(EncodableValue("message")));
    received_->push_back(message ? *message : "<no message>");
  }
  void ErrorInternal(const std::string&, const std::string&, const EncodableValue*) override {
    received_->push_back("<error>");
  }
  void EndOfStreamInternal() override { received_->push_back("<end>"); }

 private:
  std::vector<std::string>* received_;
  bool* destroyed_;
};

TEST_F(VpnEventsTest, SecondListenReplacesTheFirstSinkAndCancelDropsIt) {
  auto handler = MakeVpnEventStreamHandler();
  std::vector<std::string> first, second;
  bool firstGone = false, secondGone = false;

  EXPECT_EQ(handler->OnListen(nullptr, std::make_unique<RecordingSink>(&first, &firstGone)),
            nullptr);
  EXPECT_EQ(handler->OnListen(nullptr, std::make_unique<RecordingSink>(&second, &secondGone)),
            nullptr);
  EXPECT_TRUE(firstGone);
  EXPECT_FALSE(secondGone);

  EmitVpnEvent("running", "to the second");
  EventWindow::PumpUntil([&] { return !second.empty(); }, 5000);
  EXPECT_TRUE(first.empty());
  EXPECT_EQ(second, std::vector<std::string>{"to the second"});

  EXPECT_EQ(handler->OnCancel(nullptr), nullptr);
  EXPECT_TRUE(secondGone);
  EmitVpnEvent("idle", "to nobody");
  PumpOneDrain();
  EXPECT_EQ(second.size(), 1u);
}

TEST_F(VpnEventsTest, DrainHoldsCoreLockWhileCallingTheSink) {
  auto handler = MakeVpnEventStreamHandler();
  std::vector<std::string> received;
  bool gone = false;

  // A sink that, while it is called, asks another thread whether CoreLock is free.
  class ProbingSink : public RecordingSink {
   public:
    using RecordingSink::RecordingSink;
    bool lockFreeDuringCall = true;

   protected:
    void SuccessInternal(const EncodableValue* event) override {
      lockFreeDuringCall = std::async(std::launch::async, [] {
                             if (!CoreLock.try_lock()) return false;
                             CoreLock.unlock();
                             return true;
                           }).get();
      RecordingSink::SuccessInternal(event);
    }
  };
  auto sink = std::make_unique<ProbingSink>(&received, &gone);
  ProbingSink* probe = sink.get();
  handler->OnListen(nullptr, std::move(sink));
  EmitVpnEvent("running", "probe");
  ASSERT_TRUE(EventWindow::PumpUntil([&] { return !received.empty(); }, 5000));
  EXPECT_FALSE(probe->lockFreeDuringCall);
  handler->OnCancel(nullptr);
}

TEST_F(VpnEventsTest, LogLineIsWrittenBeforeCoreLockIsTaken) {
  SessionLog::Open(scratch.path());
  const auto log = SessionLog::CurrentPath();
  std::thread emitter;
  bool lineSeenWhileLocked = false;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    emitter = std::thread([] { EmitVpnEvent("network_lost", "while locked"); });
    // The emitter must reach its log line although CoreLock is ours.
    const ULONGLONG deadline = ::GetTickCount64() + 5000;
    while (::GetTickCount64() < deadline) {
      if (LoggedTexts(log, "[EVENT:network_lost]") == std::vector<std::string>{"while locked"}) {
        lineSeenWhileLocked = true;
        break;
      }
      ::Sleep(10);
    }
  }
  emitter.join();
  EXPECT_TRUE(lineSeenWhileLocked);
  EXPECT_EQ(LastVpnState(), "network_lost");
}

TEST_F(VpnEventsTest, AfterShutdownEventsOnlyLogAndSetTheState) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  EmitVpnEvent("running", "queued, never drained");
  harness.Shutdown();

  SessionLog::Open(scratch.path());
  const auto log = SessionLog::CurrentPath();
  EmitVpnEvent("network_restored", "Windows resumed");
  EXPECT_EQ(LastVpnState(), "network_restored");
  SessionLog::End();
  EXPECT_EQ(LoggedTexts(log, "[EVENT:network_restored]"),
            std::vector<std::string>{"Windows resumed"});

  // Only the wake of the event queued before the shutdown is in the queue,
  // and its drain finds nothing to deliver.
  int wakes = 0;
  MSG msg;
  while (::PeekMessageW(&msg, harness.hwnd(), VpnEventMessage, VpnEventMessage, PM_REMOVE)) {
    ++wakes;
    ::DispatchMessageW(&msg);
  }
  EXPECT_EQ(wakes, 1);
  PumpAWhile();
  EXPECT_EQ(harness.EventCount(), 0u);
}

TEST_F(VpnEventsTest, TenThousandEventsFromFourThreadsArriveCompleteAndInOrder) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        EmitVpnEvent("network_lost", std::to_string(t) + ":" + std::to_string(i));
      }
    });
  }
  const bool complete = EventWindow::PumpUntil(
      [&] { return harness.EventCount() >= size_t{kThreads} * kPerThread; }, 60000);
  for (auto& thread : threads) thread.join();
  PumpAWhile();
  EXPECT_TRUE(complete);

  const auto events = harness.Events();
  EXPECT_EQ(events.size(), size_t{kThreads} * kPerThread);
  std::vector<int> next(kThreads, 0);
  for (const auto& event : events) {
    ASSERT_TRUE(event.wellFormed);
    const size_t colon = event.message.find(':');
    ASSERT_NE(colon, std::string::npos);
    const int t = std::stoi(event.message.substr(0, colon));
    const int i = std::stoi(event.message.substr(colon + 1));
    ASSERT_TRUE(t >= 0 && t < kThreads);
    ASSERT_EQ(i, next[t]) << "thread " << t << " out of order or lost";
    ++next[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kPerThread);
}

// Windows refuses a post when the window thread's posted-message queue holds
// 10,000 messages; Wine sets no limit, so these tests put a refusing (or a
// losing) poster in the place of PostMessageW.
BOOL WINAPI RefusingPoster(HWND, UINT, WPARAM, LPARAM) {
  ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return FALSE;
}
BOOL WINAPI LosingPoster(HWND, UINT, WPARAM, LPARAM) { return TRUE; }

class VpnEventsQueueTest : public VpnEventsTest {
 protected:
  void TearDown() override {
    SetVpnEventPoster(nullptr);
    SetVpnEventRepostDelay(0);
    VpnEventsTest::TearDown();
  }
};

TEST_F(VpnEventsQueueTest, RefusedPostFromAWorkerStillReachesTheUi) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  SetVpnEventPoster(&RefusingPoster);
  std::thread([] {
    for (int i = 0; i < 50; ++i) EmitVpnEvent("network_lost", std::to_string(i));
  }).join();
  ASSERT_TRUE(PumpForEvents(50));
  const auto events = harness.Events();
  for (int i = 0; i < 50; ++i) ExpectEvent(events[i], "network_lost", std::to_string(i));
}

TEST_F(VpnEventsQueueTest, RefusedPostOnTheWindowThreadDeliversAtOnce) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  SetVpnEventPoster(&RefusingPoster);
  // The worker's wake is a sent message, handled only when this thread pumps.
  std::thread([] { EmitVpnEvent("starting", "queued by a worker"); }).join();
  EmitVpnEvent("error", "from the window thread");
  // No pumping: both went out before EmitVpnEvent returned, in order.
  const auto events = harness.Events();
  ASSERT_EQ(events.size(), 2u);
  ExpectEvent(events[0], "starting", "queued by a worker");
  ExpectEvent(events[1], "error", "from the window thread");
}

TEST_F(VpnEventsQueueTest, ALostWakeHoldsEventsBackOnlyBriefly) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  // Neither a later event nor the wake timer re-posts the wake while the
  // test looks, however slowly it runs.
  SetVpnEventRepostDelay(600000);
  SetVpnEventPoster(&LosingPoster);
  std::thread([] { EmitVpnEvent("running", "first"); }).join();
  SetVpnEventPoster(nullptr);
  std::thread([] { EmitVpnEvent("network_lost", "second"); }).join();
  PumpAWhile();
  EXPECT_EQ(harness.EventCount(), 0u);  // both wait for the lost wake

  // Once the wake is overdue, the next event posts it again.
  SetVpnEventRepostDelay(1);
  std::thread([] { EmitVpnEvent("network_restored", "third"); }).join();
  ASSERT_TRUE(PumpForEvents(3));
  const auto events = harness.Events();
  ExpectEvent(events[0], "running", "first");
  ExpectEvent(events[1], "network_lost", "second");
  ExpectEvent(events[2], "network_restored", "third");
}

TEST_F(VpnEventsQueueTest, ALostWakeIsPostedAgainWhenNoLaterEventComes) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  const ULONGLONG lost = ::GetTickCount64();
  SetVpnEventPoster(&LosingPoster);
  std::thread([] { EmitVpnEvent("idle", "last of the session"); }).join();
  SetVpnEventPoster(nullptr);
  // Nothing else is emitted: the re-post alone brings it, a second after the
  // lost wake and not before.
  ASSERT_TRUE(EventWindow::PumpUntil([&] { return harness.EventCount() >= 1; }, 5000));
  EXPECT_GE(::GetTickCount64() - lost, 950u) << "delivered although its wake was lost";
  ExpectEvent(harness.Events()[0], "idle", "last of the session");
}

}  // namespace
