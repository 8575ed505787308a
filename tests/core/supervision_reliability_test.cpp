// Many cores in a row, and a host that dies: nothing may be left behind
// (processes, handles, threads) and every cycle must tell the same story.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/core_launch.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "supervision_fixture.h"

using namespace supervision_test;

namespace {

const wchar_t kChildEventVariable[] = L"TOVIX_SUPERVISION_CHILD_EVENT";

// The same cycle as often as asked; checks the log of every cycle.
void RunCycles(int cycles, const std::string& controls, bool selfExit) {
  SetStandInControls(controls);
  for (int i = 0; i < cycles; ++i) {
    SCOPED_TRACE("cycle " + std::to_string(i));
    std::string error;
    ASSERT_TRUE(StartCore("{\"$schema\":\"" + std::to_string(i) + "\"}", error)) << error;
    const Event pidEvent{"starting", "pid=" + std::to_string(CoreProcess.pid)};
    const fs::path log = SessionLog::CurrentPath();
    ASSERT_TRUE(WaitForState(selfExit ? "network_lost" : "running"));
    StopCore();
    // Read before the next start: a start in the same second reuses the name.
    std::vector<Event> expected{{"starting", "preparing protected configuration pipe"},
                                pidEvent,
                                {"running", "sing-box up"}};
    if (selfExit) {
      expected.push_back({"error", "sing-box exited code=1"});
      expected.push_back({"network_lost", "state query"});
    }
    expected.push_back({"stopping", ""});
    expected.push_back({"idle", ""});
    ASSERT_EQ(ReadLoggedEvents(log), expected);
  }
}

}  // namespace

using CoreReliability = CoreSupervisionTest;

TEST_F(CoreReliability, TwoHundredStartStopCyclesLeaveNothingBehind) {
  RunCycles(1, "", false);  // first-use allocations of the runtime and Wine
  const DWORD handles = HandleCount();
  const DWORD threads = ThreadCount();
  RunCycles(200, "", false);
  EXPECT_TRUE(CoreProcessesOf().empty());
  EXPECT_LE(HandleCount(), handles + 4);
  // The detached DNS policy worker of the last core ends within 200 ms.
  EXPECT_TRUE(WaitFor([threads] { return ThreadCount() <= threads; }, 3000))
      << ThreadCount() << " threads, " << threads << " before";
}

TEST_F(CoreReliability, FiftyCoresEndingByThemselvesLeaveNothingBehind) {
  RunCycles(1, "exit=1", true);
  const DWORD handles = HandleCount();
  const DWORD threads = ThreadCount();
  RunCycles(50, "exit=1", true);
  EXPECT_TRUE(CoreProcessesOf().empty());
  EXPECT_LE(HandleCount(), handles + 4);
  // The detached DNS policy worker of the last core ends within 200 ms.
  EXPECT_TRUE(WaitFor([threads] { return ThreadCount() <= threads; }, 3000))
      << ThreadCount() << " threads, " << threads << " before";
}

TEST_F(CoreReliability, KillingTheHostEndsItsCoreAndItsPrivilegedProgram) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring eventName = L"Local\\TovixSupervisionChild" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetTickCount64());
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  ASSERT_NE(started, nullptr);
  SetEnvironmentVariableW(kChildEventVariable, eventName.c_str());
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_also_run_disabled_tests "
                         L"--gtest_filter=CoreReliabilityChild.DISABLED_HostThatStartsACore";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
  SetEnvironmentVariableW(kChildEventVariable, nullptr);
  ASSERT_TRUE(created);
  CloseHandle(child.hThread);

  HANDLE waits[2] = {started, child.hProcess};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 20000);
  EXPECT_EQ(woke, WAIT_OBJECT_0) << "the child host did not start its core";
  HANDLE core = nullptr;
  HANDLE broker = nullptr;
  if (woke == WAIT_OBJECT_0) {
    // The core is the child's privileged program's child.
    const DWORD brokerPid = BrokerOf(child.dwProcessId);
    ASSERT_NE(brokerPid, 0u);
    broker = OpenProcess(SYNCHRONIZE, FALSE, brokerPid);
    EXPECT_NE(broker, nullptr);
    const auto cores = CoreProcessesOf(brokerPid);
    ASSERT_EQ(cores.size(), 1u);
    core = OpenProcess(SYNCHRONIZE, FALSE, cores[0]);
    EXPECT_NE(core, nullptr);
  }
  TerminateProcess(child.hProcess, 9);
  WaitForSingleObject(child.hProcess, 10000);
  // Both go within 2 s of the host's end.
  for (const auto& [process, what] : {std::pair{core, "the core"}, std::pair{broker, "the broker"}}) {
    if (!process) continue;
    EXPECT_EQ(WaitForSingleObject(process, 2000), WAIT_OBJECT_0) << what << " outlived its host";
    CloseHandle(process);
  }
  CloseHandle(child.hProcess);
  CloseHandle(started);
}

// Run only as the child of KillingTheHostEndsItsCore: starts a core, says so,
// and waits to be killed.
TEST(CoreReliabilityChild, DISABLED_HostThatStartsACore) {
  wchar_t eventName[256] = {};
  if (!GetEnvironmentVariableW(kChildEventVariable, eventName, 256)) GTEST_SKIP();
  std::string error;
  ASSERT_TRUE(StartCore("{}", error)) << error;
  HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
  ASSERT_NE(started, nullptr);
  SetEvent(started);
  Sleep(60000);
  CloseHandle(started);
}
