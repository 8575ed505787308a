// The idle rule of the service, with a short delay in place of its 60 s.
#include <gtest/gtest.h>

#include "common/unique_resource.h"
#include "service/service_host.h"

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

TEST_F(ServiceIdleTest, ClientKeepsItUntilItLeaves) {
  idle_.ClientCame();
  EXPECT_FALSE(Expires(kQuietMs));
  idle_.ClientLeft();
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

TEST_F(ServiceIdleTest, UnpairedLeaveDoesNotHideALaterClient) {
  idle_.ClientLeft();
  idle_.ClientCame();
  EXPECT_FALSE(Expires(kQuietMs));
}

}  // namespace
