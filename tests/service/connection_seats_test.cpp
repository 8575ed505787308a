// The seats of the service's pipe: four per Windows user, and a silent
// connection let go (on a real pipe) unless its client keeps it.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/unique_resource.h"
#include "service/channel/connection_seats.h"
#include "service/channel/request_handler.h"

TEST(ConnectionSeats, FourPerUserAndTheSilentLetGoUnlessKept) {
  const wchar_t kName[] = L"\\\\.\\pipe\\Kelpmarrow.Tovix.SeatsTest";
  const tovix::UniqueFileHandle server(
      CreateNamedPipeW(kName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 4096, 4096, 0, nullptr));
  const tovix::UniqueFileHandle client(CreateFileW(kName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(client);
  const Client a{{L"S-1-5-21-1-2-3-1001"}, nullptr}, b{{L"S-1-5-21-1-2-3-1002"}, nullptr};
  ConnectionSeats seats;
  auto silent = seats.Take(a, server.get());
  auto second = seats.Take(a, nullptr), third = seats.Take(a, nullptr);
  auto fourth = seats.Take(a, nullptr);
  EXPECT_TRUE(silent && second && third && fourth);
  EXPECT_FALSE(seats.Take(a, nullptr)) << "a fifth seat of one user";
  EXPECT_TRUE(seats.Take(b, nullptr)) << "another user kept out";
  second.reset(), third.reset(), fourth.reset();
  DWORD waiting = 0;
  seats.LetSilentGo(std::chrono::milliseconds(0), [](const Client&) { return true; });
  EXPECT_TRUE(PeekNamedPipe(client.get(), nullptr, 0, nullptr, &waiting, nullptr)) << "kept";
  seats.LetSilentGo(std::chrono::milliseconds(0), [](const Client&) { return false; });
  EXPECT_FALSE(PeekNamedPipe(client.get(), nullptr, 0, nullptr, &waiting, nullptr)) << "silent";
}
