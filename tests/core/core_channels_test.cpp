// The "kelpmarrow.vpn/core" channel as the UI sees it: calls delivered as
// standard-codec bytes through the stand-in messenger, answers decoded from
// the bytes the host sends back, notes read from real session log files.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "browsers/registered_browsers.h"
#include "common/text.h"
#include "core/privileged_client.h"
#include "core/core_process.h"
#include "diagnostics/session_log.h"
#include "core/dns_rule_requests.h"
#include "network/network_monitor.h"
#include "core/core_channel_harness.h"

namespace {

using namespace dispatch_test;

// Every argument shape the codec can carry that is neither a string nor a
// map (plus a map without the expected entries).
std::vector<std::pair<std::string, std::optional<EncodableValue>>> NonStringArguments() {
  return {
      {"none", std::nullopt},
      {"null", EncodableValue()},
      {"true", EncodableValue(true)},
      {"false", EncodableValue(false)},
      {"int32", EncodableValue(int32_t{7})},
      {"int64", EncodableValue(int64_t{1} << 40)},
      {"double", EncodableValue(2.5)},
      {"bytes", EncodableValue(std::vector<uint8_t>{'{', '}'})},
      {"int32 list", EncodableValue(std::vector<int32_t>{1, 2})},
      {"int64 list", EncodableValue(std::vector<int64_t>{1, 2})},
      {"double list", EncodableValue(std::vector<double>{1.0})},
      {"float list", EncodableValue(std::vector<float>{1.0f})},
      {"list", EncodableValue(EncodableList{EncodableValue("{}")})},
      {"map", EncodableValue(EncodableMap{{EncodableValue("config"), EncodableValue("{}")}})},
  };
}

EncodableValue StopCause(EncodableValue cause, EncodableValue action) {
  return EncodableValue(
      EncodableMap{{EncodableValue("cause"), std::move(cause)},
                   {EncodableValue("action"), std::move(action)}});
}

class CoreChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { harness.Register(); }
  void TearDown() override {
    SessionLog::End();
    CoreProcess.running.store(false);
  }

  // Opens a session log in the scratch folder; returns its path.
  std::filesystem::path OpenLog() {
    SessionLog::Open(scratch.path());
    return SessionLog::CurrentPath();
  }
  std::vector<std::string> CloseAndRead(const std::filesystem::path& log, const std::string& tag) {
    SessionLog::End();
    return LoggedTexts(log, tag);
  }

  ScratchFolder scratch;
  CoreChannelHarness harness;
};

TEST(CoreChannelRegistration, ServesAllThreeChannels) {
  CoreChannelHarness harness;
  for (const char* channel :
       {"kelpmarrow.secure/preferences", "kelpmarrow.vpn/core", "kelpmarrow.vpn/events"}) {
    EXPECT_FALSE(StandinMessengerHasCallback(harness.engine(), channel)) << channel;
  }
  harness.Register();
  for (const char* channel :
       {"kelpmarrow.secure/preferences", "kelpmarrow.vpn/core", "kelpmarrow.vpn/events"}) {
    EXPECT_TRUE(StandinMessengerHasCallback(harness.engine(), channel)) << channel;
  }

  // Each channel reaches its own handler.
  auto preferences = harness.Deliver("kelpmarrow.secure/preferences", EncodeCall("nope", {}));
  ASSERT_TRUE(preferences.has_value());
  EXPECT_EQ(DecodeAnswer(*preferences).kind, Answer::Kind::kNotImplemented);
  EXPECT_TRUE(harness.Call("prepare").IsSuccess(EncodableValue(true)));
  EXPECT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
}

TEST(CoreChannelRegistration, NetworkBaselineIsInPlaceOnceShutdownReturns) {
  // The baseline is taken off the window thread; shutting down waits for it
  // rather than leaving it running, and so does registering a second time.
  const std::string expected = ComputePhysicalFingerprint();
  ASSERT_FALSE(expected.empty());
  auto takeRecorded = [] {
    std::lock_guard<std::mutex> lock(FingerprintLock);
    return std::exchange(physicalFingerprint, std::string());
  };
  takeRecorded();

  CoreChannelHarness harness;
  harness.Register();
  harness.Shutdown();
  EXPECT_EQ(takeRecorded(), expected);

  harness.Register();
  harness.Register();
  harness.Shutdown();
  EXPECT_EQ(takeRecorded(), expected);
}

TEST_F(CoreChannelTest, PrepareAnswersTrueWhateverItCarries) {
  for (auto& [name, arguments] : NonStringArguments()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(harness.Call("prepare", arguments).IsSuccess(EncodableValue(true)));
  }
  EXPECT_TRUE(harness.Call("prepare", EncodableValue("{}")).IsSuccess(EncodableValue(true)));
}

TEST_F(CoreChannelTest, StartRejectsEveryNonStringPayloadWithoutStarting) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  const std::string before = LastVpnState();
  for (auto& [name, arguments] : NonStringArguments()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(harness.Call("start", arguments)
                    .IsError("bad_payload", "expected JSON config string"));
  }
  // No launch was attempted: no event, no state change.
  EventWindow::PumpUntil([] { return false; }, 100);
  EXPECT_EQ(harness.EventCount(), 0u);
  EXPECT_EQ(LastVpnState(), before);
}

TEST_F(CoreChannelTest, StartWhileRunningAnswersAlreadyRunningAndEmitsNothing) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  CoreProcess.running.store(true);
  EXPECT_TRUE(harness.Call("start", EncodableValue("{}")).IsError("start_failed", "already running"));
  EXPECT_TRUE(CoreProcess.running.load());
  EventWindow::PumpUntil([] { return false; }, 100);
  EXPECT_EQ(harness.EventCount(), 0u);
}

// An elevation prompt that the user answers after 2 s, declining.
BOOL WINAPI SlowDeclinedPrompt(SHELLEXECUTEINFOW*) {
  Sleep(2000);
  SetLastError(ERROR_CANCELLED);
  return FALSE;
}

// The start runs off the window thread: while the prompt is up, the window
// answers other calls, and a stop is answered within its bound and ends the
// start, whose answer follows.
TEST_F(CoreChannelTest, AStartLeavesTheWindowFreeAndAStopEndsIt) {
  PrivilegedClient::Disconnect();
  PrivilegedClient::SetStarter(SlowDeclinedPrompt);
  const auto start = harness.Send("start", EncodableValue("{}"));
  EXPECT_FALSE(start->has_value()) << "answered on the window thread";
  EXPECT_EQ(harness.Call("isOurVpnRunning").kind, Answer::Kind::kSuccess);
  const ULONGLONG stopAsked = GetTickCount64();
  EXPECT_TRUE(harness.Call("stop").IsSuccess(EncodableValue(true)));
  EXPECT_LT(GetTickCount64() - stopAsked, 8000u);
  EventWindow::PumpUntil([&] { return start->has_value(); }, 10000);
  PrivilegedClient::SetStarter(nullptr);
  ASSERT_TRUE(start->has_value());
  EXPECT_EQ(DecodeAnswer(**start).code, "start_failed");
  EXPECT_FALSE(CoreProcess.running.load());
}

TEST_F(CoreChannelTest, NamesMatchOnlyExactlyAndInFull) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  for (const char* name : {"Start", "START", "starting", "star", "start ", "", "Prepare",
                           "prepare\n", "logpath", "logPath2", "Status", "stop_", "noteHealthX",
                           "isOurVpnRunnin", "registeredbrowsers", "listen"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(harness.Call(name, EncodableValue("{}")).kind, Answer::Kind::kNotImplemented);
  }
  EventWindow::PumpUntil([] { return false; }, 100);
  EXPECT_EQ(harness.EventCount(), 0u);
}

TEST_F(CoreChannelTest, UndecodableBytesAreAnsweredNotCrashed) {
  const std::vector<std::vector<uint8_t>> garbage = {
      {},
      {0x07},
      {0x07, 0xff, 0xff, 0xff, 0xff},                 // string length past the end
      {0x07, 0x05, 's', 't', 'a', 'r', 't', 0x0d},     // map without its size
      {0x07, 0x05, 's', 't', 'a', 'r', 't', 0x07, 0x09},  // config string cut short
      {0x0c, 0xfe, 0xff, 0xff},                       // list with a huge size
      {0x63, 0x00},                                   // unknown tag
  };
  for (const auto& bytes : garbage) {
    const Answer answer = harness.AnswerTo(harness.SendBytes(bytes));
    EXPECT_TRUE(answer.kind == Answer::Kind::kNotImplemented ||
                answer.kind == Answer::Kind::kError);
  }
  // The channel still serves calls afterwards.
  EXPECT_TRUE(harness.Call("prepare").IsSuccess(EncodableValue(true)));
}

TEST_F(CoreChannelTest, NoteStopCauseLogsOnlyAcceptedCausesWithA32BitAction) {
  const auto log = OpenLog();
  const std::vector<std::optional<EncodableValue>> calls = {
      StopCause(EncodableValue("user"), EncodableValue(int32_t{3})),
      StopCause(EncodableValue("recovery"), EncodableValue(int32_t{-7})),
      StopCause(EncodableValue("automatic"), EncodableValue(int32_t{0})),
      StopCause(EncodableValue("full_start_failed"), EncodableValue(int32_t{2147483647})),
      StopCause(EncodableValue("full_datapath_unverified"),
                EncodableValue(int32_t{-2147483647 - 1})),
      // Refused: case or length variants, a 64-bit action, wrong entry types.
      StopCause(EncodableValue("User"), EncodableValue(int32_t{3})),
      StopCause(EncodableValue("user "), EncodableValue(int32_t{3})),
      StopCause(EncodableValue("use"), EncodableValue(int32_t{3})),
      StopCause(EncodableValue("user"), EncodableValue(int64_t{3})),
      StopCause(EncodableValue("user"), EncodableValue("3")),
      StopCause(EncodableValue("user"), EncodableValue(3.0)),
      StopCause(EncodableValue(int32_t{1}), EncodableValue(int32_t{3})),
      EncodableValue(EncodableMap{{EncodableValue("cause"), EncodableValue("user")}}),
      EncodableValue(EncodableMap{{EncodableValue("action"), EncodableValue(int32_t{3})}}),
  };
  for (const auto& arguments : calls) {
    EXPECT_TRUE(harness.Call("noteStopCause", arguments).IsSuccess(EncodableValue()));
  }
  for (auto& [name, arguments] : NonStringArguments()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(harness.Call("noteStopCause", arguments).IsSuccess(EncodableValue()));
  }
  EXPECT_TRUE(harness.Call("noteStopCause", EncodableValue("user action=3"))
                  .IsSuccess(EncodableValue()));

  EXPECT_EQ(CloseAndRead(log, "[stop_cause]"),
            (std::vector<std::string>{"user action=3", "recovery action=-7", "automatic action=0",
                                      "full_start_failed action=2147483647",
                                      "full_datapath_unverified action=-2147483648"}));
}

TEST_F(CoreChannelTest, NoteHealthLogsOnlyShortPlainAsciiText) {
  const auto log = OpenLog();
  const std::string allowed =
      "abcxyzABCXYZ0189 _=.:,()/-";  // one of each kind of allowed byte
  std::string exactly240;
  while (exactly240.size() < 240) exactly240 += allowed[exactly240.size() % allowed.size()];
  const std::string tooLong = exactly240 + "a";

  const std::vector<std::string> texts = {
      "tun=up dns=ok (1/2)", exactly240, tooLong, "", "caf\xc3\xa9", std::string(1, '\x80'),
      "ok\xff", "tab\there", "new\nline", "semi;colon", "quote\"", std::string("nul\0x", 5),
  };
  for (const auto& text : texts) {
    EXPECT_TRUE(harness.Call("noteHealth", EncodableValue(text)).IsSuccess(EncodableValue()));
  }
  for (auto& [name, arguments] : NonStringArguments()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(harness.Call("noteHealth", arguments).IsSuccess(EncodableValue()));
  }
  EXPECT_EQ(CloseAndRead(log, "[health]"),
            (std::vector<std::string>{"tun=up dns=ok (1/2)", exactly240}));
}

TEST_F(CoreChannelTest, StopAnswersTrueAndLogsTheRequest) {
  const auto log = OpenLog();
  EXPECT_TRUE(harness.Call("stop").IsSuccess(EncodableValue(true)));
  EXPECT_TRUE(harness.Call("stop", EncodableValue("ignored")).IsSuccess(EncodableValue(true)));
  // The first stop ended the session, so only its request reached the file.
  EXPECT_EQ(LoggedTexts(log, "[stop_request]"), std::vector<std::string>{"method_channel"});
}

TEST_F(CoreChannelTest, StatusFollowsTheLastEventWhateverItIs) {
  EmitVpnEvent("network_restored", "physical network changed");
  EXPECT_TRUE(harness.Call("status").IsSuccess(EncodableValue("network_restored")));
  EmitVpnEvent("error", "x");
  EXPECT_TRUE(harness.Call("status", EncodableValue(int32_t{1})).IsSuccess(EncodableValue("error")));
}

// A fresh process, so that no event and no session log has happened yet.
TEST(CoreChannelFreshProcess, StatusIsIdleAndLogPathEmptyBeforeAnything) {
  EXPECT_EXIT(
      {
        CoreChannelHarness harness;
        harness.Register();
        const bool idle = harness.Call("status").IsSuccess(EncodableValue("idle"));
        const bool noPath = harness.Call("logPath").IsSuccess(EncodableValue(""));
        std::fprintf(stderr, "idle=%d noPath=%d\n", idle, noPath);
        std::fflush(stderr);
        std::_Exit(idle && noPath ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "idle=1 noPath=1");
}

TEST_F(CoreChannelTest, LogPathNamesTheLastSessionLogAfterItEnded) {
  const auto log = OpenLog();
  SessionLog::End();
  const Answer answer = harness.Call("logPath");
  ASSERT_EQ(answer.kind, Answer::Kind::kSuccess);
  const auto* path = std::get_if<std::string>(&answer.value);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(*path, ToUtf8(log.native()));
  EXPECT_TRUE(std::filesystem::exists(ToUtf16(*path)));
  EXPECT_EQ(std::filesystem::path(ToUtf16(*path)).parent_path(), scratch.path() / "logs");
}

TEST_F(CoreChannelTest, DnsPolicyStateAndBrowsersComeFromTheirOwners) {
  EXPECT_TRUE(harness.Call("dnsPolicyState").IsSuccess(EncodableValue(DnsPolicyStatusSnapshot())));

  const Answer answer = harness.Call("registeredBrowsers", EncodableValue(true));
  ASSERT_EQ(answer.kind, Answer::Kind::kSuccess);
  EncodableList expected;
  for (const auto& path : QueryRegisteredBrowsers()) expected.emplace_back(path);
  EXPECT_EQ(answer.value, EncodableValue(expected));
}

// CoreProcess holding a real process: a suspended copy of this test program.
class HeldProcess {
 public:
  HeldProcess() {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --gtest_list_tests";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ok = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi) != 0;
    if (ok) {
      ::CloseHandle(pi.hThread);
      CoreProcess.process.reset(pi.hProcess);
      CoreProcess.pid = pi.dwProcessId;
    }
  }
  ~HeldProcess() {
    if (CoreProcess.process) ::TerminateProcess(CoreProcess.process.get(), 0);
    CoreProcess.running.store(false);
    std::lock_guard<std::mutex> lock(CoreLock);
    CoreProcess.process.reset();
    CoreProcess.pid = 0;
  }
  void End() {
    ::TerminateProcess(CoreProcess.process.get(), 0);
    ::WaitForSingleObject(CoreProcess.process.get(), 5000);
  }
  bool ok = false;
};

TEST_F(CoreChannelTest, RunningMeansFlagSetAndProcessAlive) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  EXPECT_FALSE(IsOurVpnRunning());  // nothing held
  CoreProcess.running.store(true);
  EXPECT_FALSE(IsOurVpnRunning());  // flag without a process

  HeldProcess held;
  ASSERT_TRUE(held.ok);
  EXPECT_TRUE(IsOurVpnRunning());
  EXPECT_TRUE(harness.Call("isOurVpnRunning").IsSuccess(EncodableValue(true)));
  CoreProcess.running.store(false);
  EXPECT_FALSE(IsOurVpnRunning());  // a process that is no longer wanted
  EXPECT_TRUE(harness.Call("isOurVpnRunning").IsSuccess(EncodableValue(false)));

  CoreProcess.running.store(true);
  held.End();
  EXPECT_FALSE(IsOurVpnRunning());  // flag still set, process gone
  EXPECT_TRUE(harness.Call("queryVpnState").IsSuccess(EncodableValue(false)));
  EventWindow::PumpUntil([] { return false; }, 100);
  EXPECT_EQ(harness.EventCount(), 0u);  // no event while it does not run
}

TEST_F(CoreChannelTest, QueryVpnStateWhileRunningAlsoReportsNetworkLost) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  HeldProcess held;
  ASSERT_TRUE(held.ok);
  CoreProcess.running.store(true);
  EXPECT_TRUE(harness.Call("queryVpnState").IsSuccess(EncodableValue(true)));
  ASSERT_TRUE(EventWindow::PumpUntil([&] { return harness.EventCount() >= 1; }, 5000));
  const auto events = harness.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].wellFormed);
  EXPECT_EQ(events[0].state, "network_lost");
  EXPECT_EQ(events[0].message, "state query");
  EXPECT_TRUE(harness.Call("status").IsSuccess(EncodableValue("network_lost")));
}

TEST(CoreThreads, JoinWaitsForReaderAndWatcherAndEmptiesThem) {
  std::atomic<bool> readerDone{false}, watcherDone{false};
  CoreProcess.readerThread = std::thread([&] {
    ::Sleep(100);
    readerDone = true;
  });
  CoreProcess.watcherThread = std::thread([&] {
    ::Sleep(150);
    watcherDone = true;
  });
  JoinCoreThreads();
  EXPECT_TRUE(readerDone);
  EXPECT_TRUE(watcherDone);
  EXPECT_FALSE(CoreProcess.readerThread.joinable());
  EXPECT_FALSE(CoreProcess.watcherThread.joinable());
  JoinCoreThreads();  // nothing left: returns at once
}

// A result whose answer throws: the handler's wall keeps it in.
class ThrowingResult : public flutter::MethodResult {
 protected:
  void SuccessInternal(const EncodableValue*) override { throw std::runtime_error("boom"); }
  void ErrorInternal(const std::string&, const std::string&, const EncodableValue*) override {
    ++errors;
  }
  void NotImplementedInternal() override { throw std::runtime_error("boom"); }

 public:
  static inline int errors = 0;
};

TEST_F(CoreChannelTest, NothingThrownBeyondTheHandler) {
  ThrowingResult::errors = 0;
  for (const char* name : {"prepare", "status", "logPath", "nope"}) {
    flutter::MethodCall call(name, nullptr);
    EXPECT_NO_THROW(HandleCoreMethodCall(call, std::make_unique<ThrowingResult>()));
  }
  // The answer itself failed; it is not attempted a second time as an error.
  EXPECT_EQ(ThrowingResult::errors, 0);
  flutter::MethodCall call("prepare", nullptr);
  EXPECT_NO_THROW(HandleCoreMethodCall(call, nullptr));
}

// The per-user data folder replaced by a file, so that it cannot be created;
// the real folder (if any) is put aside and restored.
class BlockedDataDir {
 public:
  BlockedDataDir() {
    wchar_t base[MAX_PATH];
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base))) return;
    folder_ = std::filesystem::path(base) / L"Kelpmarrow";
    aside_ = folder_;
    aside_ += L".aside-dispatch";
    std::error_code ec;
    std::filesystem::remove_all(aside_, ec);
    if (std::filesystem::exists(folder_)) std::filesystem::rename(folder_, aside_);
    std::ofstream(folder_) << "not a folder";
    blocked = std::filesystem::is_regular_file(folder_);
  }
  ~BlockedDataDir() {
    std::error_code ec;
    if (std::filesystem::is_regular_file(folder_, ec)) std::filesystem::remove(folder_, ec);
    if (std::filesystem::exists(aside_, ec)) std::filesystem::rename(aside_, folder_, ec);
  }
  bool blocked = false;

 private:
  std::filesystem::path folder_, aside_;
};

TEST_F(CoreChannelTest, StartWithoutADataFolderFailsCleanly) {
  ASSERT_TRUE(harness.Listen().IsSuccess(EncodableValue()));
  BlockedDataDir blocked;
  ASSERT_TRUE(blocked.blocked);
  const Answer answer = harness.Call("start", EncodableValue("{}"));
  EXPECT_EQ(answer.kind, Answer::Kind::kError);
  EXPECT_EQ(answer.code, "start_failed");
  EXPECT_FALSE(answer.message.empty());
  EXPECT_FALSE(CoreProcess.running.load());
  EXPECT_FALSE(CoreProcess.process);
  EXPECT_EQ(LastVpnState(), "error");
  // The channel keeps serving.
  EXPECT_TRUE(harness.Call("prepare").IsSuccess(EncodableValue(true)));
}

}  // namespace
