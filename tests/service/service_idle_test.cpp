// The idle rule of the service, with a short delay in place of its 60 s;
// the shipped delay; and the state the service reports once the rule has
// decided to stop it (the test build of the program, installed).
#include <gtest/gtest.h>

#include <fstream>

#include "common/unique_resource.h"
#include "service/service_host.h"
#include "support/installed_service.h"
#include "support/scratch_folder.h"

namespace {

constexpr auto kDelay = std::chrono::milliseconds(250);
// Long enough that a timer that should not fire would have.
constexpr DWORD kQuietMs = 700;
constexpr DWORD kDeadlineMs = 3000;

class ServiceIdleTest : public ::testing::Test {
 protected:
  tovix::UniqueHandle expired_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ServiceIdle idle_{kDelay, [this] { SetEvent(expired_.get()); }};

  // Serves the idle timer as the service's serving thread does.
  bool Expires(DWORD withinMs) {
    const ULONGLONG deadline = GetTickCount64() + withinMs;
    const HANDLE waits[] = {expired_.get(), idle_.timer()};
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
      const DWORD woken =
          WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(deadline - now));
      if (woken == WAIT_OBJECT_0) return true;
      if (woken != WAIT_OBJECT_0 + 1) return false;
      idle_.Poll();
    }
    return WaitForSingleObject(expired_.get(), 0) == WAIT_OBJECT_0;
  }
};

TEST_F(ServiceIdleTest, ExpiresAfterTheDelayWhenNobodyCame) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Expires(kDeadlineMs));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kDelay - std::chrono::milliseconds(20));
}

// A connection counts while it does something, not while it only stays open.
TEST_F(ServiceIdleTest, OnlyAClientThatDoesSomethingKeepsIt) {
  idle_.ClientCame();
  for (int i = 0; i < 7; ++i) {
    EXPECT_FALSE(Expires(100));
    idle_.ClientActive();
  }
  EXPECT_TRUE(Expires(kDeadlineMs));
}

TEST_F(ServiceIdleTest, RunningCoreKeepsItAfterTheLastClient) {
  idle_.ClientCame();
  idle_.CoreStarted();
  idle_.ClientLeft();
  EXPECT_FALSE(Expires(kQuietMs));
  idle_.CoreEnded();
  EXPECT_TRUE(Expires(kDeadlineMs));
}

TEST(ServiceIdleDelay, IsAMinuteAsShipped) {
  EXPECT_EQ(ServiceIdleDelay(), std::chrono::seconds(60));
}

// Stopped by the idle rule (after 1 s here), the service says so at once:
// while it cleans up (2 s here) the service manager reads STOP_PENDING with a
// wait hint, not RUNNING, so that a client arriving then does not take it for
// a service that will serve it.
TEST(ServiceIdleStop, IsReportedPendingAsSoonAsItIsDecided) {
  const ScratchFolder folder(L"tovix service-");
  for (const wchar_t* marker : {L"no-pipe.test", L"short-idle.test", L"slow-stop.test"}) {
    std::ofstream(folder.path() / marker).close();
  }
  const InstalledService service(folder.path());
  ASSERT_TRUE(service.installed());
  const tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const tovix::UniqueServiceHandle queried(
      OpenServiceW(manager.get(), tovix::service_setup::kServiceName, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(queried);
  InstalledService::Start();
  bool sawRunning = false;
  DWORD stateAfterRunning = SERVICE_RUNNING;
  DWORD pendingHint = 0;
  SERVICE_STATUS status{};
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (QueryServiceStatus(queried.get(), &status) &&
         status.dwCurrentState != SERVICE_STOPPED && GetTickCount64() < deadline) {
    if (status.dwCurrentState == SERVICE_RUNNING) sawRunning = true;
    if (sawRunning && stateAfterRunning == SERVICE_RUNNING &&
        status.dwCurrentState != SERVICE_RUNNING) {
      stateAfterRunning = status.dwCurrentState;
      pendingHint = status.dwWaitHint;
    }
    Sleep(20);
  }
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "the idle rule never stopped it";
  ASSERT_TRUE(sawRunning);
  EXPECT_EQ(stateAfterRunning, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_GT(pendingHint, 0u);
}

}  // namespace
