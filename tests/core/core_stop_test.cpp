// StopCore and ExitWatcher with the real stand-in core under Wine: who
// reports an end, the dead core's second report at the next start, and the
// stop that gives up after 8 s.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/core_launch.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/dns_rule_requests.h"
#include "core/privileged_client.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "supervision_fixture.h"

using namespace supervision_test;

namespace {

const Event kStarting{"starting", "preparing protected configuration pipe"};
const Event kRunning{"running", "sing-box up"};
const Event kStopping{"stopping", ""};
const Event kIdle{"idle", ""};

Event PidEvent() { return {"starting", "pid=" + std::to_string(CoreProcess.pid)}; }

}  // namespace

using CoreStop = CoreSupervisionTest;

TEST_F(CoreStop, StopGivesStoppingThenIdleAndASecondStopEmitsNothing) {
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  const Event pidEvent = PidEvent();
  const fs::path log = SessionLog::CurrentPath();
  StopCore();
  EXPECT_EQ(ReadLoggedEvents(log),
            (std::vector<Event>{kStarting, pidEvent, kRunning, kStopping, kIdle}));
  EXPECT_EQ(LastVpnState(), "idle");
  EXPECT_FALSE(CoreProcess.process);
  EXPECT_FALSE(CoreProcess.readerThread.joinable());
  EXPECT_FALSE(CoreProcess.watcherThread.joinable());

  // A marker state: a second stop that emitted anything would replace it.
  EmitVpnEvent("network_restored", "marker");
  StopCore();
  EXPECT_EQ(LastVpnState(), "network_restored");
}

TEST_F(CoreStop, CoreEndingByItselfIsReportedWithItsExitCode) {
  for (const unsigned long code : {0ul, 1ul, 3221225477ul}) {
    SCOPED_TRACE(code);
    NextSecond();
    StartOk("exit=" + std::to_string(code));
    const Event pidEvent = PidEvent();
    const fs::path log = SessionLog::CurrentPath();
    ASSERT_TRUE(WaitForState("network_lost"));
    EXPECT_FALSE(CoreProcess.running.load());
    EXPECT_FALSE(IsOurVpnRunning());
    EXPECT_EQ(ReadLoggedEvents(log),
              (std::vector<Event>{
                  kStarting, pidEvent, kRunning,
                  {code == 0 ? "idle" : "error", "sing-box exited code=" + std::to_string(code)},
                  {"network_lost", "state query"}}));

    // The next start first reports the end of the dead core, into its log.
    NextSecond();
    StartOk("");
    EXPECT_NE(SessionLog::CurrentPath(), log);
    const auto events = ReadLoggedEvents(log);
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[5], kStopping);
    EXPECT_EQ(events[6], kIdle);
    StopCore();
  }
}

TEST_F(CoreStop, CoreThatOutlivesTerminationReleasesTheCallerAfterEightSeconds) {
  // The baseline after one whole session: what the first start loads and
  // keeps for the process's life (thread pool workers, DLLs, the log's
  // folder) is not the core's.
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  StopCore();
  const DWORD threadsBefore = ThreadCount();
  const DWORD handlesBefore = HandleCount();
  NextSecond();
  // The core prints its readiness line only while the stop is under way.
  StartOk("ready-after=1500");
  // The host waits on a process the privileged side cannot end: another
  // copy of the stand-in that this test started. The real core is ended,
  // but the wait runs out, as with a core that hangs in the kernel.
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION hanging{};
  std::wstring commandLine = L"\"" + PristineCore().wstring() + L"\" run";
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &hanging));
  CloseHandle(hanging.hThread);
  HANDLE full = nullptr;
  {
    std::lock_guard<std::mutex> lock(CoreLock);
    full = CoreProcess.process.release();
    CoreProcess.process.reset(hanging.hProcess);
  }
  const fs::path log = SessionLog::CurrentPath();
  const ULONGLONG started = GetTickCount64();
  StopCore();
  const ULONGLONG took = GetTickCount64() - started;

  EXPECT_GE(took, 7900u);
  EXPECT_LT(took, 12000u);
  const auto lines = ReadLogLines(log);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      LogLine{"[stop]",
                              "core did not exit within 8s; handing it to the job object and "
                              "releasing the UI"}),
            lines.end());
  const auto events = ReadLoggedEvents(log);
  EXPECT_EQ(std::count(events.begin(), events.end(), kRunning), 0)
      << "readiness during a stop announces nothing";
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], kStopping);
  EXPECT_EQ(events.back(), kIdle);
  EXPECT_FALSE(CoreProcess.process);
  EXPECT_FALSE(CoreProcess.readerThread.joinable()) << "kept aside";
  EXPECT_FALSE(CoreProcess.watcherThread.joinable()) << "kept aside";
  EXPECT_EQ(WaitForSingleObject(full, 5000), WAIT_OBJECT_0) << "the closed job ended the core";
  EXPECT_EQ(LastVpnState(), "idle");
  CloseHandle(full);
  TerminateProcess(hanging.hProcess, 0);  // the kept handle's process, gone at last

  // Once the core is gone its threads are joined and the handles they used
  // closed: nothing of the core is left to run at exit.
  EXPECT_TRUE(ReclaimCoreThreadsLeftBehind(5000));
  EXPECT_EQ(CoreThreadsLeftBehind(), 0u);
  // A joined thread's handle and entry go a moment after the join; and the
  // system's own workers come and go, so the counts are taken as a pair.
  DWORD threads = 0, handles = 0;
  WaitFor(
      [&] {
        threads = ThreadCount();
        handles = HandleCount();
        return threads == threadsBefore && handles == handlesBefore;
      },
      3000);
  EXPECT_EQ(threads, threadsBefore) << "reader and watcher joined";
  EXPECT_EQ(handles, handlesBefore) << "every handle of the core closed";
}

TEST_F(CoreStop, WatcherClaimsOnlyItsOwnRunningCore) {
  const struct {
    std::uint64_t current;
    bool running;
    std::uint64_t claimed;
    bool wins;
  } cases[] = {{7, true, 7, true}, {7, false, 7, false}, {8, true, 7, false}, {8, false, 7, false}};
  for (const auto& c : cases) {
    CoreProcess.coreGeneration.store(c.current);
    CoreProcess.running.store(c.running);
    EXPECT_EQ(ClaimCoreEnd(c.claimed), c.wins) << c.current << " " << c.claimed;
    EXPECT_EQ(CoreProcess.running.load(), c.running && !c.wins) << "another core stays running";
  }
  CoreProcess.running.store(false);
}

TEST_F(CoreStop, StopReturnsWhenAnotherProcessKeepsTheOutputPipeOpen) {
  // The core's helper process inherits the output pipe and outlives the
  // core, so the pipe never reports its end while the helper lives; the
  // stop must still release the reader, and the job then ends the helper.
  StartOk("helper");
  ASSERT_TRUE(WaitForState("running"));
  const DWORD host = GetCurrentProcessId();
  const DWORD core = CoreProcess.pid;
  ASSERT_TRUE(WaitFor([&] { return CoreProcessesOf(core).size() == 1; }, 5000))
      << "the stand-in's helper did not start";
  const ULONGLONG start = GetTickCount64();
  StopCore();
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_FALSE(CoreProcess.readerThread.joinable());
  EXPECT_EQ(LastVpnState(), "idle");
  EXPECT_TRUE(WaitFor([&] { return CoreProcessesOf(core).empty(); }, 5000))
      << "closing the job ends the helper too";
  EXPECT_TRUE(CoreProcessesOf(host).empty());
}

TEST_F(CoreStop, StopIsBoundedWhenNothingReachesTheReader) {
  // The helper keeps the output pipe open, and with the reader's thread id
  // forgotten no cancel reaches its read: it ends only with the pipe, which
  // the stop closes only by closing the job.
  StartOk("helper");
  ASSERT_TRUE(WaitForState("running"));
  std::vector<DWORD> helpers;
  ASSERT_TRUE(WaitFor([&] { return (helpers = CoreProcessesOf(CoreProcess.pid)).size() == 1; },
                      5000))
      << "the stand-in's helper did not start";
  tovix::UniqueHandle helper(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, helpers[0]));
  ASSERT_TRUE(helper);
  CoreProcess.readerControl->threadId.store(0);

  auto stop = std::async(std::launch::async, [] {
    const ULONGLONG start = GetTickCount64();
    StopCore();
    return GetTickCount64() - start;
  });
  if (stop.wait_for(std::chrono::seconds(12)) != std::future_status::ready) {
    TerminateProcess(helper.get(), 0);  // ends the pipe, so the stop can return
    ASSERT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    FAIL() << "the stop waited for the reader without a deadline";
  }
  EXPECT_LT(stop.get(), 9000u);
  EXPECT_EQ(LastVpnState(), "idle");
  EXPECT_EQ(WaitForSingleObject(helper.get(), 5000), WAIT_OBJECT_0) << "the job ended the helper";
  EXPECT_TRUE(ReclaimCoreThreadsLeftBehind(5000)) << "the reader finished with the pipe";
}

// A removal that gets no answer is not taken for done: the connection goes,
// and with it the core and the rule. Without a connection the DNS word says
// "none" at once, before the stop that follows has run.
TEST_F(CoreStop, ARemovalWithoutAnAnswerDropsTheConnectionAndTheWordSaysNone) {
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  ASSERT_TRUE(WaitFor([] { return DnsPolicyStatusSnapshot() == "no_tunnel_dns"; }, 8000));
  HANDLE core = OpenProcess(SYNCHRONIZE, FALSE, CoreProcess.pid);
  ASSERT_NE(core, nullptr);
  {
    std::lock_guard<std::mutex> holdTheStop(CoreLock);
    PrivilegedClient::LimitReplyWaits(tovix::broker::Kind::RemoveDns, 0);
    RemoveDnsPolicyRule("test");
    PrivilegedClient::LimitReplyWaits(tovix::broker::Kind::RemoveDns, INFINITE);
    EXPECT_FALSE(PrivilegedClient::Connected());
    EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");
  }
  EXPECT_EQ(WaitForSingleObject(core, 3000), WAIT_OBJECT_0) << "the core outlived its connection";
  CloseHandle(core);
  StopCore();
}
